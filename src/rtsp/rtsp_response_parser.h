// Reader of RTSP replies and of the SDP that answers DESCRIBE. One parser
// lives as long as its client and sees every reply: a reply overwrites only
// the fields it carries, so the session identifier of SETUP and the last
// challenge stay for the requests after them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "rtsp/rtsp_vocabulary.h"

namespace quenlix {

enum HeaderKind : int {
  kHeaderNone = 0,
  kHeaderCSeq = 1,
  kHeaderDate = 2,
  kHeaderContentBase = 3,
  kHeaderContentType = 4,
  kHeaderContentLength = 5,
  kHeaderTransport = 6,
  kHeaderSession = 7,
  kHeaderRange = 8,
  kHeaderRtpInfo = 9,
  kHeaderEmptyLine = 10,
  kHeaderServer = 11,
  kHeaderAcceptRanges = 12,
  kHeaderRtcpInterval = 13,
  kHeaderWwwAuthenticate = 14,
};

enum SdpLineKind : int {
  kSdpOther = 0,
  kSdpEmptyLine = 1,
  kSdpMediaVideo = 2,
  kSdpMediaAudio = 3,
  kSdpMediaOther = 4,
  kSdpControl = 5,
  kSdpFmtp = 6,
};

class CRTSPResponseParser {
 public:
  // A ReadLine position that no index equals.
  static constexpr size_t kEndMark = static_cast<size_t>(-1);
  // Decoded size of one parameter set; larger ones are dropped whole.
  static constexpr size_t kParameterSetCapacity = 256;
  // Applied when the camera names a time-out of 0 (or an unreadable one).
  static constexpr uint32_t kFallbackSessionTimeout = 30;
  static constexpr uint32_t kMaxPort = 65535;

  CRTSPResponseParser() = default;
  virtual ~CRTSPResponseParser() = default;

  // True for a readable reply with status 200 or 401 (and, for DESCRIBE with
  // a body, a readable SDP). method is the request's RTSPMethod code.
  bool Parse(const std::string& reply, int method);

  static std::string ReadLine(const std::string& text, size_t* pos);
  static int ClassifyHeader(const std::string& line);
  static int ClassifySdpLine(const std::string& line);

  std::string version;
  int32_t statusCode = 0;
  std::string reason;
  uint32_t cseq = 0;
  std::string contentType;
  uint32_t contentLength = 0;
  std::string sessionId;
  uint32_t sessionTimeout = 0;  // seconds
  std::string control;
  std::string contentBase;     // Content-Base of the DESCRIBE reply
  uint16_t serverRtpPort = 0;  // Transport server_port of the SETUP reply
  uint16_t serverRtcpPort = 0;
  int32_t authScheme = kAuthNone;  // an AuthScheme
  std::string realm;
  std::string nonce;
  std::vector<uint8_t> sps;
  std::vector<uint8_t> pps;

 private:
  bool ParseStatusLine(const std::string& line);
  bool ParseCSeq(const std::string& line);
  bool ParseContentType(const std::string& line);
  bool ParseContentLength(const std::string& line);
  bool ParseSession(const std::string& line);
  bool ParseAuthenticate(const std::string& line);
  void ParseTransport(const std::string& line);
  bool ParseSdp(const std::string& body);
  bool ParseFmtp(const std::string& line);
};

// Text helpers of the parser, exposed for the client and the tests.
std::string MakeLower(const std::string& text);
// Pieces between commas; a trailing comma gives no empty last piece.
std::vector<std::string> SplitList(const std::string& text);

}  // namespace quenlix
