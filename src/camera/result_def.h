// The outcome of one camera request.
#pragma once

#include <cstdint>
#include <string>

namespace quenlix {

// Outcome codes of a camera request.
enum ResultCode : uint32_t {
  ResultOk = 0,
  ResultBadStatus = 6,       // the camera answered with a status outside 200-299
  ResultNotSent = 9,         // not sent, or no status came back
  ResultEmptyResponse = 10,  // the body was wanted and was empty
  ResultTooLarge = 11,       // the body was longer than any reply needs to be
};

// Message levels the outcomes are reported with.
enum ResultLevel : uint32_t {
  ResultLevelError = 1,
  ResultLevelInfo = 3,
  ResultLevelNotSent = 4,
};

class CResultDef {
 public:
  CResultDef() = default;
  CResultDef(uint32_t level, uint32_t code, std::string text)
      : level(level), code(code), text(std::move(text)) {}
  virtual ~CResultDef() = default;

  uint32_t level = ResultLevelInfo;
  uint32_t code = ResultOk;
  std::string text;  // empty on success
};

}  // namespace quenlix
