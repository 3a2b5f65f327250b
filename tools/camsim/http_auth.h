// Checks the Authorization header of a CGI request: Basic, or Digest
// (RFC 2617, qop "auth" or none, MD5) with nonces the simulator issued.
#pragma once

#include <map>
#include <mutex>
#include <set>
#include <string>

namespace camsim {

class CHttpAuth {
 public:
  CHttpAuth(std::string realm, std::string user, std::string password);

  bool CheckBasic(const std::string& authorization) const;
  // decodedTarget: target with its %XX escapes decoded.
  bool CheckDigest(const std::string& method, const std::string& target,
                   const std::string& decodedTarget, const std::string& authorization);

  std::string BasicChallenge() const;
  // A fresh nonce each time; it stays valid for the simulator's lifetime.
  std::string DigestChallenge();

  static std::string Md5Hex(const std::string& text);
  // The name=value pairs of a Digest header, quotes removed.
  static std::map<std::string, std::string> ParseDigestParams(const std::string& header);

 private:
  std::string realm_;
  std::string user_;
  std::string password_;
  std::mutex mutex_;
  std::set<std::string> nonces_;
  unsigned counter_ = 0;
};

}  // namespace camsim
