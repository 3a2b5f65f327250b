#include "rtsp/rtsp_response_parser.h"

#include <cctype>
#include <sstream>

#include "platform/decimal.h"
#include "rtsp/base64.h"

namespace quenlix {
namespace {

constexpr size_t kMaxWord = 255;  // longest status word, content type or control kept
constexpr size_t kMaxStatusDigits = 9;

struct NamedKind {
  const char* name;
  int kind;
};

constexpr NamedKind kHeaderNames[] = {
    {"cseq", kHeaderCSeq},
    {"date", kHeaderDate},
    {"content-base", kHeaderContentBase},
    {"content-type", kHeaderContentType},
    {"content-length", kHeaderContentLength},
    {"transport", kHeaderTransport},
    {"session", kHeaderSession},
    {"range", kHeaderRange},
    {"rtp-info", kHeaderRtpInfo},
    {"server", kHeaderServer},
    {"accept-ranges", kHeaderAcceptRanges},
    {"rtcp-interval", kHeaderRtcpInterval},
    {"www-authenticate", kHeaderWwwAuthenticate},
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Trim(const std::string& text) {
  size_t b = 0;
  size_t e = text.size();
  while (b < e && IsBlank(text[b])) ++b;
  while (e > b && IsBlank(text[e - 1])) --e;
  return text.substr(b, e - b);
}

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  size_t i = 0;
  for (; prefix[i] != '\0'; ++i) {
    if (i >= text.size()) return false;
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

// The value of a header line: what follows the colon, without blanks around.
std::string HeaderValue(const std::string& line) {
  const size_t colon = line.find(':');
  if (colon == std::string::npos) return std::string();
  return Trim(line.substr(colon + 1));
}

std::string FirstWord(const std::string& text) {
  size_t b = 0;
  while (b < text.size() && IsBlank(text[b])) ++b;
  size_t e = b;
  while (e < text.size() && !IsBlank(text[e])) ++e;
  return text.substr(b, e - b < kMaxWord ? e - b : kMaxWord);
}

// Leading decimal digits as an unsigned 32-bit number; false when there are
// none or the number does not fit.
bool ReadUnsigned(const std::string& text, uint32_t* value) {
  const DecimalRun run = ReadDecimal(text, 0, UINT32_MAX);
  if (run.digits == 0 || run.overflow) return false;
  *value = uint32_t(run.value);
  return true;
}

// "key=value; key=value" parameters (Session, fmtp), keys compared without case.
std::string FindParameter(const std::string& list, const char* key) {
  std::istringstream in(list);
  std::string item;
  while (std::getline(in, item, ';')) {
    const size_t eq = item.find('=');
    if (eq == std::string::npos) continue;
    if (MakeLower(Trim(item.substr(0, eq))) == key) return Trim(item.substr(eq + 1));
  }
  return std::string();
}

// Auth parameters of a challenge: key=token or key="quoted, text", separated
// by commas. A quoted realm may hold blanks and commas; it enters the Digest
// hash whole.
std::string FindAuthParameter(const std::string& params, const char* key) {
  size_t i = 0;
  const size_t n = params.size();
  while (i < n) {
    while (i < n && (IsBlank(params[i]) || params[i] == ',')) ++i;
    const size_t keyStart = i;
    while (i < n && params[i] != '=' && params[i] != ',') ++i;
    const std::string name = MakeLower(Trim(params.substr(keyStart, i - keyStart)));
    if (i >= n || params[i] == ',') continue;
    ++i;  // '='
    while (i < n && IsBlank(params[i])) ++i;
    std::string value;
    if (i < n && params[i] == '"') {
      for (++i; i < n && params[i] != '"'; ++i) {
        if (params[i] == '\\' && i + 1 < n) ++i;
        value += params[i];
      }
      if (i < n) ++i;  // closing quote
    } else {
      const size_t valueStart = i;
      while (i < n && params[i] != ',') ++i;
      value = Trim(params.substr(valueStart, i - valueStart));
    }
    if (name == key) return value;
  }
  return std::string();
}

}  // namespace

std::string MakeLower(const std::string& text) {
  std::string out(text);
  for (char& c : out) c = char(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> pieces;
  std::istringstream in(text);
  std::string piece;
  while (std::getline(in, piece, ',')) pieces.push_back(piece);
  return pieces;
}

std::string CRTSPResponseParser::ReadLine(const std::string& text, size_t* pos) {
  if (*pos == kEndMark || *pos >= text.size()) {
    *pos = kEndMark;
    return std::string();
  }
  const size_t i = text.find_first_of("\r\n", *pos);
  if (i == std::string::npos) {
    *pos = kEndMark;
    return std::string();
  }
  std::string line = text.substr(*pos, i - *pos);
  // CR LF, or a bare LF or CR as some servers send; each ends one line.
  *pos = (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ? i + 2 : i + 1;
  return line;
}

int CRTSPResponseParser::ClassifyHeader(const std::string& line) {
  if (line.empty()) return kHeaderEmptyLine;
  // By the name before the colon, so that a header whose value merely
  // mentions another name (a realm "RTSP Server") keeps its own kind.
  const size_t colon = line.find(':');
  if (colon == std::string::npos) return kHeaderNone;
  const std::string name = MakeLower(Trim(line.substr(0, colon)));
  for (const NamedKind& entry : kHeaderNames) {
    if (name == entry.name) return entry.kind;
  }
  return kHeaderNone;
}

int CRTSPResponseParser::ClassifySdpLine(const std::string& line) {
  if (line.empty()) return kSdpEmptyLine;
  // By the line's type prefix: "m=" also occurs inside values such as
  // "a=control:stream=0" or base64 padding.
  if (StartsWithNoCase(line, "m=video")) return kSdpMediaVideo;
  if (StartsWithNoCase(line, "m=audio")) return kSdpMediaAudio;
  if (StartsWithNoCase(line, "m=")) return kSdpMediaOther;
  if (StartsWithNoCase(line, "a=control")) return kSdpControl;
  if (StartsWithNoCase(line, "a=fmtp")) return kSdpFmtp;
  return kSdpOther;
}

bool CRTSPResponseParser::Parse(const std::string& reply, int method) {
  size_t pos = 0;
  if (!ParseStatusLine(ReadLine(reply, &pos))) return false;
  if (statusCode != kRtspStatusOk && statusCode != kRtspStatusUnauthorized) return false;
  // A reply without Content-Length has no body; an earlier reply's length
  // does not carry over.
  contentLength = 0;
  for (;;) {
    const std::string line = ReadLine(reply, &pos);
    const int kind = ClassifyHeader(line);
    bool ok = true;
    switch (kind) {
      case kHeaderCSeq:
        ok = ParseCSeq(line);
        break;
      case kHeaderContentType:
        ok = ParseContentType(line);
        break;
      case kHeaderContentLength:
        ok = ParseContentLength(line);
        break;
      case kHeaderSession:
        ok = ParseSession(line);
        break;
      case kHeaderWwwAuthenticate:
        ok = ParseAuthenticate(line);
        break;
      case kHeaderContentBase:
        // The base of relative control URLs in this reply's description.
        if (method == kRtspDescribe) contentBase = HeaderValue(line);
        break;
      case kHeaderTransport:
        ParseTransport(line);
        break;
      default:
        break;
    }
    if (kind != kHeaderEmptyLine) {
      if (!ok) return false;
      continue;
    }
    if (contentLength == 0) return true;
    // Headers cut off before their empty line: there is no body to read.
    const std::string body = pos == kEndMark ? std::string() : reply.substr(pos, contentLength);
    if (method == kRtspDescribe) return ParseSdp(body);
    return true;
  }
}

bool CRTSPResponseParser::ParseStatusLine(const std::string& line) {
  std::istringstream in(line);
  std::string words[3];
  for (std::string& word : words) {
    if (!(in >> word)) return false;
  }
  const std::string& code = words[1];
  size_t digits = 0;
  while (digits < code.size() && std::isdigit(static_cast<unsigned char>(code[digits]))) ++digits;
  if (digits == 0 || digits > kMaxStatusDigits) return false;
  version = words[0].substr(0, kMaxWord);
  statusCode = int32_t(std::stol(code.substr(0, digits)));
  reason = words[2].substr(0, kMaxWord);
  return true;
}

bool CRTSPResponseParser::ParseCSeq(const std::string& line) {
  return ReadUnsigned(HeaderValue(line), &cseq);
}

bool CRTSPResponseParser::ParseContentType(const std::string& line) {
  const std::string word = FirstWord(HeaderValue(line));
  if (word.empty()) return false;
  contentType = MakeLower(word);
  return true;
}

bool CRTSPResponseParser::ParseContentLength(const std::string& line) {
  return ReadUnsigned(HeaderValue(line), &contentLength);
}

bool CRTSPResponseParser::ParseSession(const std::string& line) {
  // The identifier is opaque: it goes back to the camera exactly as given.
  const std::string value = HeaderValue(line);
  const size_t semicolon = value.find(';');
  if (semicolon == std::string::npos) {
    if (value.empty()) return false;
    sessionId = value;
    return true;
  }
  const std::string id = Trim(value.substr(0, semicolon));
  const std::string timeout = FindParameter(value.substr(semicolon + 1), "timeout");
  if (id.empty() || timeout.empty()) return false;
  sessionId = id;
  uint32_t seconds = 0;
  if (!ReadUnsigned(timeout, &seconds) || seconds == 0) seconds = kFallbackSessionTimeout;
  sessionTimeout = seconds;
  return true;
}

void CRTSPResponseParser::ParseTransport(const std::string& line) {
  // "server_port=a-b": where the camera sends RTP from and listens for RTCP.
  // One port alone stands for the pair beginning there. Unreadable ports
  // leave what was known; nothing else of the header is needed.
  const std::string ports = FindParameter(HeaderValue(line), "server_port");
  if (ports.empty()) return;
  const size_t dash = ports.find('-');
  uint32_t rtp = 0;
  if (!ReadUnsigned(ports.substr(0, dash), &rtp) || rtp == 0 || rtp > kMaxPort) return;
  uint32_t rtcp = rtp + 1;
  if (dash != std::string::npos &&
      (!ReadUnsigned(ports.substr(dash + 1), &rtcp) || rtcp == 0 || rtcp > kMaxPort)) {
    return;
  }
  if (rtcp > kMaxPort) return;  // a lone 65535 has no pair
  serverRtpPort = uint16_t(rtp);
  serverRtcpPort = uint16_t(rtcp);
}

bool CRTSPResponseParser::ParseAuthenticate(const std::string& line) {
  authScheme = kAuthNone;
  const std::string value = HeaderValue(line);
  size_t schemeEnd = 0;
  while (schemeEnd < value.size() && !IsBlank(value[schemeEnd])) ++schemeEnd;
  const std::string scheme = MakeLower(value.substr(0, schemeEnd));
  if (scheme == "digest") authScheme = kAuthDigest;
  if (scheme == "basic") authScheme = kAuthBasic;
  if (authScheme == kAuthNone) return true;
  const std::string params = value.substr(schemeEnd);
  realm = FindAuthParameter(params, "realm");
  nonce = FindAuthParameter(params, "nonce");
  if (authScheme == kAuthDigest) return !realm.empty() && !nonce.empty();
  return true;
}

bool CRTSPResponseParser::ParseSdp(const std::string& sdp) {
  std::string body = sdp;
  // A last attribute without its line end still counts.
  if (!body.empty() && body.back() != '\n' && body.back() != '\r') body += "\r\n";
  size_t pos = 0;
  bool inVideo = false;
  for (;;) {
    const std::string line = ReadLine(body, &pos);
    switch (ClassifySdpLine(line)) {
      case kSdpMediaVideo:
        inVideo = true;
        break;
      case kSdpMediaAudio:
      case kSdpMediaOther:
        inVideo = false;
        break;
      case kSdpFmtp:
        ParseFmtp(line);
        break;
      case kSdpControl:
        if (inVideo) {
          const size_t colon = line.find(':');
          const std::string value =
              colon == std::string::npos ? std::string() : FirstWord(line.substr(colon + 1));
          if (value.empty()) return false;
          control = value;
        }
        break;
      case kSdpEmptyLine:
        return true;
      default:
        break;
    }
  }
}

bool CRTSPResponseParser::ParseFmtp(const std::string& line) {
  // "a=fmtp:<payload type> <parameters>"
  const size_t blank = line.find_first_of(" \t");
  if (blank == std::string::npos) return false;
  const std::string v = FindParameter(line.substr(blank + 1), "sprop-parameter-sets");
  if (v.empty()) return false;
  const std::vector<std::string> pieces = SplitList(v);
  if (pieces.size() < 2) return false;
  std::vector<uint8_t>* targets[2] = {&sps, &pps};
  for (int i = 0; i < 2; ++i) {
    uint8_t buffer[kParameterSetCapacity];
    size_t length = sizeof buffer;
    if (Base64Decode(pieces[i].data(), pieces[i].size(), buffer, &length)) {
      targets[i]->insert(targets[i]->end(), buffer, buffer + length);
    }
  }
  return true;
}

}  // namespace quenlix
