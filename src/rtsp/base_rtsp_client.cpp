#include "rtsp/base_rtsp_client.h"

#include <algorithm>
#include <cctype>

#include "camera/text_helpers.h"
#include "platform/decimal.h"
#include "platform/platform.h"
#include "rtsp/base64.h"
#include "rtsp/md5.h"

namespace quenlix {
namespace {

// How often a wait on the camera looks at the stop event.
constexpr uint32_t kStopPollMs = 100;
// Late replies to earlier requests skipped while waiting for the current one.
constexpr int kMaxStaleReplies = 4;
// The TEARDOWN of a stopping channel is waited for this long, stop or not:
// a camera that never hears it keeps streaming into a closed port and holds
// one of its few sessions until the session times out.
constexpr uint32_t kTeardownReplyMs = 1000;
constexpr size_t kReadChunk = 4096;
constexpr size_t kMaxCSeqDigits = 10;
constexpr uint64_t kMaxStatusCode = 999;
// Enough for any status code and reason a log line should carry.
constexpr size_t kMaxStatusText = 64;

// Offset just past the empty line that ends the header block, or npos.
size_t HeaderBlockEnd(const std::string& data) {
  const size_t crlf = data.find("\r\n\r\n");
  const size_t lf = data.find("\n\n");
  if (crlf == std::string::npos && lf == std::string::npos) return std::string::npos;
  if (lf == std::string::npos || (crlf != std::string::npos && crlf < lf)) return crlf + 4;
  return lf + 2;
}

// Content-Length of a header block; 0 when absent or unreadable.
size_t BlockContentLength(const std::string& headers) {
  const std::string lower = MakeLower(headers);
  static const char kName[] = "content-length:";
  for (size_t pos = 0; pos < lower.size();) {
    size_t end = lower.find('\n', pos);
    if (end == std::string::npos) end = lower.size();
    if (lower.compare(pos, sizeof kName - 1, kName) == 0) {
      size_t i = pos + sizeof kName - 1;
      while (i < end && (lower[i] == ' ' || lower[i] == '\t')) ++i;
      const DecimalRun length =
          ReadDecimal(lower.data() + i, lower.data() + end, CBaseRTSPClient::kMaxReplySize);
      return length.overflow ? CBaseRTSPClient::kMaxReplySize : size_t(length.value);
    }
    pos = end + 1;
  }
  return 0;
}

// The CSeq of a reply's header block; false when it names none.
bool ReplyCSeq(const std::string& reply, uint32_t* cseq) {
  static const char kName[] = "cseq:";
  const size_t headerEnd = HeaderBlockEnd(reply);
  const size_t end = headerEnd == std::string::npos ? reply.size() : headerEnd;
  for (size_t pos = 0; pos < end;) {
    size_t lineEnd = reply.find('\n', pos);
    if (lineEnd == std::string::npos || lineEnd > end) lineEnd = end;
    if (lineEnd - pos >= sizeof kName - 1 &&
        MakeLower(reply.substr(pos, sizeof kName - 1)) == kName) {
      size_t i = pos + sizeof kName - 1;
      while (i < lineEnd && (reply[i] == ' ' || reply[i] == '\t')) ++i;
      const DecimalRun value =
          ReadDecimal(reply.data() + i, reply.data() + lineEnd, UINT32_MAX, kMaxCSeqDigits);
      if (value.digits == 0 || value.overflow) return false;
      *cseq = uint32_t(value.value);
      return true;
    }
    pos = lineEnd + 1;
  }
  return false;
}

}  // namespace

CBaseRTSPClient::~CBaseRTSPClient() {
  Disconnect();
  if (socketsStarted_) platform::SocketsCleanup();
}

const char* CBaseRTSPClient::GetMethodName(int method) {
  switch (method) {
    case kRtspDescribe:
      return "DESCRIBE";
    case kRtspSetup:
      return "SETUP";
    case kRtspPlay:
      return "PLAY";
    case kRtspTeardown:
      return "TEARDOWN";
    case kRtspOptions:
      return "OPTIONS";
    default:
      return "";
  }
}

void CBaseRTSPClient::CloseSocket() {
  if (socket_ != 0 && socket_ != platform::kInvalidSocket) platform::CloseSocket(socket_);
  socket_ = 0;
}

bool CBaseRTSPClient::FailConnect(RTSPFailure failure) {
  failure_ = failure;
  CloseSocket();
  return false;
}

bool CBaseRTSPClient::Connect(const RTSP_SESSION_INFO& info) {
  if (connected_) return true;
  info_ = info;
  pending_.clear();
  failure_ = kRtspFailNone;
  connectError_ = 0;
  // Reference-counted: a client works also where no channel started sockets.
  if (!socketsStarted_) socketsStarted_ = platform::SocketsStartup();
  socket_ = platform::CreateTcpSocket();
  if (socket_ == platform::kInvalidSocket) {
    socket_ = 0;
    failure_ = kRtspConnectFailed;
    connectError_ = platform::LastSocketError();
    return false;
  }
  uint32_t address = 0;
  if (platform::SetReceiveBufferSize(socket_, int(info_.receiveBufferSize)) != 0 ||
      !platform::ResolveHostName(info_.address.c_str(), &address) ||
      platform::SetNonBlocking(socket_, true) != 0) {
    connectError_ = platform::LastSocketError();
    return FailConnect(kRtspConnectFailed);
  }
  if (platform::ConnectSocket(socket_, address, info_.port) != 0 && !AwaitConnection()) {
    return false;
  }
  if (platform::SetNonBlocking(socket_, false) != 0) {
    connectError_ = platform::LastSocketError();
    return FailConnect(kRtspConnectFailed);
  }
  connected_ = true;
  return true;
}

bool CBaseRTSPClient::AwaitConnection() {
  connectError_ = platform::LastSocketError();
  if (connectError_ != platform::kWsaEWOULDBLOCK) {
    return FailConnect(connectError_ == platform::kWsaECONNREFUSED ? kRtspConnectRefused
                                                                   : kRtspConnectFailed);
  }
  connectError_ = 0;
  for (uint32_t polls = info_.connectTimeoutMs / kStopPollMs;; --polls) {
    const int state = platform::WaitConnected(socket_, kStopPollMs);
    if (state == 1) return true;
    // A refused connection is known at once; no need to wait it out.
    if (state < 0) {
      connectError_ = platform::LastSocketError();
      return FailConnect(connectError_ == platform::kWsaECONNREFUSED ? kRtspConnectRefused
                                                                     : kRtspConnectFailed);
    }
    // A camera that drops the connection attempt is given up on a stop.
    if (polls <= 1 || StopSignalled()) {
      connectError_ = platform::kWsaETIMEDOUT;
      return FailConnect(kRtspConnectTimedOut);
    }
  }
}

void CBaseRTSPClient::Disconnect() {
  if (!connected_) return;
  CloseSocket();
  connected_ = false;
}

bool CBaseRTSPClient::MakeBasicCredentials(const std::string& userName, const std::string& password,
                                           std::string* credential) {
  const std::string text = userName + ":" + password;
  char encoded[kCredentialCapacity];
  size_t length = 0;
  if (!Base64Encode(reinterpret_cast<const uint8_t*>(text.data()), text.size(), encoded,
                    sizeof encoded, &length)) {
    return false;
  }
  credential->assign(encoded, length);
  return true;
}

std::string CBaseRTSPClient::MakeDigestHash(const std::string& a, const std::string& b) {
  return CMD5::HexDigest(a + ":" + b);
}

std::string CBaseRTSPClient::MakeDigestAuthorization(int method, const std::string& uri) const {
  if (parser_.authScheme != kAuthDigest || parser_.realm.empty() || parser_.nonce.empty() ||
      info_.userName.empty() || info_.password.empty() || uri.empty()) {
    return std::string();
  }
  const std::string ha1 =
      CMD5::HexDigest(info_.userName + ":" + parser_.realm + ":" + info_.password);
  const std::string ha2 = CMD5::HexDigest(std::string(GetMethodName(method)) + ":" + uri);
  const std::string response = MakeDigestHash(ha1, parser_.nonce + ":" + ha2);
  return FormatString(
      "Authorization: Digest username=\"%s\", realm=\"%s\", nonce=\"%s\", uri=\"%s\", "
      "response=\"%s\"\r\n",
      info_.userName.c_str(), parser_.realm.c_str(), parser_.nonce.c_str(), uri.c_str(),
      response.c_str());
}

namespace {

// "rtsp://host:port" of an absolute URL: its scheme and authority.
std::string SchemeAndAuthority(const std::string& url) {
  const size_t scheme = url.find("://");
  if (scheme == std::string::npos) return url;
  const size_t path = url.find('/', scheme + 3);
  return path == std::string::npos ? url : url.substr(0, path);
}

bool IsAbsoluteUrl(const std::string& text) {
  const size_t scheme = text.find("://");
  if (scheme == std::string::npos || scheme == 0) return false;
  for (size_t i = 0; i < scheme; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return false;
  }
  return true;
}

}  // namespace

std::string CBaseRTSPClient::ResolveControlUrl(const std::string& baseUrl, bool pathEmpty,
                                               const std::string& contentBase,
                                               const std::string& control) {
  // An absolute control stands as it is (RFC 2326 C.1.1).
  if (IsAbsoluteUrl(control)) return control;
  // Without a Content-Base, relative to the request URL as cameras of this
  // family expect it.
  if (contentBase.empty() || !IsAbsoluteUrl(contentBase)) {
    return FormatString(pathEmpty ? "%s%s" : "%s/%s", baseUrl.c_str(), control.c_str());
  }
  if (control.empty() || control == "*") return contentBase;
  if (control[0] == '/') return SchemeAndAuthority(contentBase) + control;
  return contentBase.back() == '/' ? contentBase + control : contentBase + "/" + control;
}

std::string CBaseRTSPClient::BuildRequest(int method) {
  const std::string baseUrl =
      FormatString("rtsp://%s:%d/%s", info_.address.c_str(), int(info_.port), info_.path.c_str());
  const std::string controlUrl =
      ResolveControlUrl(baseUrl, info_.path.empty(), parser_.contentBase, parser_.control);
  // The digest covers the URI of the request line, which for SETUP is the
  // control URL; a server that checks the two against each other refuses
  // anything else.
  const std::string& requestUri = method == kRtspSetup ? controlUrl : baseUrl;

  std::string authorization;
  if (info_.authScheme == kAuthBasic) {
    std::string credential;
    if (!MakeBasicCredentials(info_.userName, info_.password, &credential)) return std::string();
    authorization = FormatString("Authorization: Basic %s\r\n", credential.c_str());
  } else if (info_.authScheme == kAuthDigest) {
    authorization = MakeDigestAuthorization(method, requestUri);
  }

  ++parser_.cseq;
  const char* version = "RTSP/1.0\r\n";
  const std::string cseqLine = FormatString("CSeq: %u\r\n", unsigned(parser_.cseq));
  const char* acceptLine = "Accept: application/sdp\r\n";
  const char* userAgentLine = "User-Agent: Quenlix\r\n";
  const std::string sessionLine = FormatString("Session: %s\r\n", parser_.sessionId.c_str());
  const char* rangeLine = "Range: npt=0.000-\r\n";
  const std::string transportLine =
      FormatString("Transport: RTP/AVP/UDP;unicast;client_port=%u-%u\r\n",
                   unsigned(info_.clientRtpPort), unsigned(info_.clientRtcpPort));
  const char* auth = authorization.c_str();

  switch (method) {
    case kRtspDescribe:
      return FormatString("DESCRIBE %s %s%s%s%s%s\r\n", baseUrl.c_str(), version, cseqLine.c_str(),
                          acceptLine, auth, userAgentLine);
    case kRtspSetup:
      return FormatString("SETUP %s %s%s%s%s%s\r\n", controlUrl.c_str(), version, cseqLine.c_str(),
                          transportLine.c_str(), auth, userAgentLine);
    case kRtspPlay:
      return FormatString("PLAY %s %s%s%s%s%s%s\r\n", baseUrl.c_str(), version, cseqLine.c_str(),
                          sessionLine.c_str(), rangeLine, auth, userAgentLine);
    case kRtspTeardown:
      return FormatString("TEARDOWN %s %s%s%s%s%s\r\n", baseUrl.c_str(), version, cseqLine.c_str(),
                          sessionLine.c_str(), auth, userAgentLine);
    case kRtspOptions:
      return FormatString("OPTIONS %s %s%s%s%s%s\r\n", baseUrl.c_str(), version, cseqLine.c_str(),
                          sessionLine.c_str(), auth, userAgentLine);
    default:
      return std::string();
  }
}

bool CBaseRTSPClient::ReceiveReply(std::string* reply, bool teardown) {
  std::string data;
  bool complete = false;
  data.swap(pending_);
  const uint32_t timeoutMs =
      teardown ? std::min(info_.receiveTimeoutMs, kTeardownReplyMs) : info_.receiveTimeoutMs;
  const uint64_t deadline = platform::MonotonicMs() + timeoutMs;
  char chunk[kReadChunk];
  for (;;) {
    const size_t headerEnd = HeaderBlockEnd(data);
    if (headerEnd != std::string::npos) {
      const size_t whole = headerEnd + BlockContentLength(data.substr(0, headerEnd));
      if (data.size() >= whole) {
        pending_ = data.substr(whole);
        data.resize(whole);
        complete = true;
        break;
      }
    }
    if (data.size() >= kMaxReplySize) break;
    const uint64_t now = platform::MonotonicMs();
    if (now >= deadline) break;
    const uint32_t slice = uint32_t(std::min<uint64_t>(deadline - now, kStopPollMs));
    const int readable = platform::WaitReadable(socket_, slice);
    if (readable == 0 && (teardown || !StopSignalled())) continue;
    if (readable != 1) break;
    const size_t room = kMaxReplySize - data.size();
    const int n = platform::ReceiveBytes(socket_, chunk, room < sizeof chunk ? room : sizeof chunk);
    if (n <= 0) break;
    data.append(chunk, size_t(n));
  }
  reply->swap(data);
  return complete;
}

void CBaseRTSPClient::NoteFailedReply(const std::string& reply, bool whole) {
  failedStatus_.clear();
  if (!whole) {
    failure_ = reply.empty() ? kRtspNoReply : kRtspReplyCut;
    return;
  }
  failure_ = kRtspUnreadable;
  // "RTSP/1.0 404 Not Found": the code and reason after the version word.
  const size_t lineEnd = reply.find_first_of("\r\n");
  const std::string line = reply.substr(0, lineEnd);
  const size_t blank = line.find(' ');
  if (line.compare(0, 5, "RTSP/") != 0 || blank == std::string::npos) return;
  for (size_t i = blank + 1; i < line.size() && failedStatus_.size() < kMaxStatusText; ++i) {
    const unsigned char c = static_cast<unsigned char>(line[i]);
    failedStatus_ += (c >= 0x20 && c < 0x7F) ? char(c) : '?';
  }
  // Blanks and a plus sign may stand before the code.
  size_t digits = failedStatus_.find_first_not_of(' ');
  if (digits != std::string::npos && failedStatus_[digits] == '+') ++digits;
  const DecimalRun code = ReadDecimal(failedStatus_, digits, kMaxStatusCode);
  if (!code.overflow && code.value >= 100 && code.value != kRtspStatusOk &&
      code.value != kRtspStatusUnauthorized) {
    failure_ = kRtspBadStatus;
  }
}

bool CBaseRTSPClient::Transact(int method) {
  failure_ = kRtspFailNone;
  failedStatus_.clear();
  if (!connected_) {
    failure_ = kRtspSendFailed;
    return false;
  }
  const std::string request = BuildRequest(method);
  if (request.empty()) {
    failure_ = kRtspUnreadable;
    return false;
  }
  const uint32_t sentCSeq = parser_.cseq;
  const int sent = platform::SendBytes(socket_, request.data(), request.size());
  if (sent < 0 || size_t(sent) < request.size()) {
    failure_ = kRtspSendFailed;
    return false;
  }
  std::string reply;
  // A reply cut off by a closed connection or the time-out may lack the very
  // header (Session) or SDP line (control) that the next request needs.
  const bool teardown = method == kRtspTeardown;
  if (!ReceiveReply(&reply, teardown) || reply.empty()) {
    NoteFailedReply(reply, false);
    return false;
  }
  // Only the answer to this request counts: a late answer to an earlier one
  // is passed over, and a reply for a request never sent is refused.
  uint32_t replyCSeq = 0;
  for (int stale = 0; ReplyCSeq(reply, &replyCSeq) && replyCSeq != sentCSeq; ++stale) {
    // A TEARDOWN's second is not spent on them: the camera has the request.
    if (replyCSeq > sentCSeq || stale == kMaxStaleReplies || teardown) {
      NoteFailedReply(reply, true);
      return false;
    }
    if (!ReceiveReply(&reply, teardown) || reply.empty()) {
      NoteFailedReply(reply, false);
      return false;
    }
  }
  const size_t zero = reply.find('\0');
  if (zero != std::string::npos) reply.resize(zero);
  if (parser_.Parse(reply, method)) return true;
  NoteFailedReply(reply, true);
  return false;
}

bool CBaseRTSPClient::StopSignalled() const {
  if (stopEvent_ == nullptr) return false;
  const platform::WaitResult wait = platform::WaitForEvent(stopEvent_, 0);
  return wait == platform::WaitResult::kSignalled || wait == platform::WaitResult::kAbandoned;
}

bool CBaseRTSPClient::SendRequest(int method) {
  refused_ = false;
  bool result = Transact(method);
  if (result && parser_.statusCode == kRtspStatusUnauthorized) {
    const uint32_t scheme = uint32_t(parser_.authScheme);
    if (info_.authScheme != scheme) {
      info_.authScheme = scheme;
      result = Transact(method);
    } else if (scheme == kAuthDigest) {
      result = Transact(method);  // the nonce may have changed
    }
  }
  // A 401 left standing means the camera refuses these credentials; a
  // repeat that got no answer at all says nothing about them.
  refused_ = result && parser_.statusCode == kRtspStatusUnauthorized;
  return result && !refused_;
}

bool CBaseRTSPClient::CredentialsRefused() const { return refused_; }

uint32_t CBaseRTSPClient::GetSessionTimeoutMs() const {
  const uint64_t seconds =
      parser_.sessionTimeout != 0 ? parser_.sessionTimeout : info_.defaultSessionTimeout;
  const uint64_t ms = seconds * 1000;
  return ms > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(ms);
}

void CBaseRTSPClient::GetParameterSets(std::vector<uint8_t>& sps, std::vector<uint8_t>& pps) const {
  sps = parser_.sps;
  pps = parser_.pps;
}

}  // namespace quenlix
