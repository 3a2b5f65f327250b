// The HTTP contract over libcurl. A session is a multi handle (its connection
// cache is what a WinHTTP connection shares between requests); a request is
// an easy handle on it, driven step by step so that sending, waiting for the
// headers and reading the body each block on their own, with WinHTTP's
// per-step time-outs.
#include "platform/http.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/decimal.h"

namespace quenlix {
namespace platform {

struct HttpHandleRecord {
  enum class Kind { kSession, kConnection, kRequest };
  explicit HttpHandleRecord(Kind kind) : kind(kind) {}
  virtual ~HttpHandleRecord() = default;
  const Kind kind;
};

namespace {

// A status code stops being read past three digits.
constexpr uint64_t kMaxStatusCode = 999;
// The body is buffered here only up to this much (plus one delivery of at
// most CURL_MAX_WRITE_SIZE); beyond it the transfer pauses until the caller
// reads, so a reader that stops stops the reception.
constexpr size_t kBufferHighWater = 64 * 1024;
constexpr size_t kBufferLowWater = 16 * 1024;
constexpr long kPollSliceMs = 50;

uint64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

struct Timeouts {
  uint32_t resolveMs = kHttpDefaultResolveTimeoutMs;
  uint32_t connectMs = kHttpDefaultConnectTimeoutMs;
  uint32_t sendMs = kHttpDefaultSendTimeoutMs;
  uint32_t receiveMs = kHttpDefaultReceiveTimeoutMs;
  uint32_t receiveResponseMs = kHttpDefaultReceiveTimeoutMs;
};

bool SetTimeout(Timeouts& t, uint32_t option, uint32_t value) {
  switch (option) {
    case kHttpOptionResolveTimeout:
      t.resolveMs = value;
      return true;
    case kHttpOptionConnectTimeout:
      t.connectMs = value;
      return true;
    case kHttpOptionSendTimeout:
      t.sendMs = value;
      return true;
    case kHttpOptionReceiveTimeout:
      t.receiveMs = value;
      return true;
    case kHttpOptionReceiveResponseTimeout:
      t.receiveResponseMs = value;
      return true;
    default:
      return false;
  }
}

// 0 and 0xFFFFFFFF mean no limit, as with WinHTTP.
bool Unlimited(uint32_t ms) { return ms == 0 || ms == 0xFFFFFFFFu; }

struct Session : HttpHandleRecord {
  Session() : HttpHandleRecord(Kind::kSession) {}
  ~Session() override {
    if (multi != nullptr) curl_multi_cleanup(multi);
  }
  CURLM* multi = nullptr;
  std::string agent;
  Timeouts timeouts;
  uint32_t maxConnsPerServer = 0;
  uint32_t requestDeadlineMs = 0;
  std::atomic<bool> cancelled{false};
};

struct Connection : HttpHandleRecord {
  Connection() : HttpHandleRecord(Kind::kConnection) {}
  Session* session = nullptr;
  std::string host;
  uint16_t port = 0;
};

struct Request : HttpHandleRecord {
  Request() : HttpHandleRecord(Kind::kRequest) {}
  ~Request() override {
    if (easy != nullptr) {
      if (added) curl_multi_remove_handle(session->multi, easy);
      curl_easy_cleanup(easy);
    }
    if (headers != nullptr) curl_slist_free_all(headers);
  }

  Session* session = nullptr;
  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  std::string url;
  std::string verb;
  Timeouts timeouts;
  bool followRedirects = true;
  uint32_t deadlineMs = 0;  // overall, from the send; 0: none
  uint64_t sentAtMs = 0;

  uint32_t credScheme = 0;
  std::string userName;
  std::string password;

  // Transfer state, written by the curl callbacks on the owner's thread.
  bool added = false;
  bool connected = false;
  bool headersComplete = false;
  bool done = false;
  CURLcode result = CURLE_OK;
  uint32_t status = 0;
  bool sawLocation = false;
  uint32_t offeredSchemes = 0;
  uint32_t firstScheme = 0;
  int unauthorizedCount = 0;
  std::string body;
  size_t bodyPos = 0;
  bool paused = false;
  uint64_t lastActivityMs = 0;

  size_t Buffered() const { return body.size() - bodyPos; }
};

Session* AsSession(HttpHandle h) {
  return h != nullptr && h->kind == HttpHandleRecord::Kind::kSession ? static_cast<Session*>(h)
                                                                     : nullptr;
}
Connection* AsConnection(HttpHandle h) {
  return h != nullptr && h->kind == HttpHandleRecord::Kind::kConnection
             ? static_cast<Connection*>(h)
             : nullptr;
}
Request* AsRequest(HttpHandle h) {
  return h != nullptr && h->kind == HttpHandleRecord::Kind::kRequest ? static_cast<Request*>(h)
                                                                     : nullptr;
}

bool StartsWithNoCase(const char* text, size_t length, const char* prefix) {
  const size_t n = std::strlen(prefix);
  return length >= n && strncasecmp(text, prefix, n) == 0;
}

uint32_t SchemeBit(const std::string& token) {
  if (strcasecmp(token.c_str(), "Basic") == 0) return kHttpAuthSchemeBasic;
  if (strcasecmp(token.c_str(), "NTLM") == 0) return kHttpAuthSchemeNtlm;
  if (strcasecmp(token.c_str(), "Passport1.4") == 0) return kHttpAuthSchemePassport;
  if (strcasecmp(token.c_str(), "Digest") == 0) return kHttpAuthSchemeDigest;
  if (strcasecmp(token.c_str(), "Negotiate") == 0) return kHttpAuthSchemeNegotiate;
  return 0;
}

bool IsChallengeScheme(uint32_t scheme) {
  return scheme == kHttpAuthSchemeDigest || scheme == kHttpAuthSchemeNtlm ||
         scheme == kHttpAuthSchemeNegotiate;
}

// Curl answers a 401 itself when it holds credentials for a scheme that
// needs the server's challenge; that 401 is not the response the caller sees.
bool CurlWillAnswer(const Request& r) {
  return IsChallengeScheme(r.credScheme) && r.unauthorizedCount == 1 &&
         (r.offeredSchemes & r.credScheme) != 0;
}

void OnStatusLine(Request& r, const char* line, size_t length) {
  const char* space = static_cast<const char*>(std::memchr(line, ' ', length));
  r.status =
      space == nullptr ? 0 : uint32_t(ReadDecimal(space + 1, line + length, kMaxStatusCode).value);
  r.headersComplete = false;
  r.sawLocation = false;
  r.offeredSchemes = 0;
  r.firstScheme = 0;
  r.body.clear();
  r.bodyPos = 0;
}

void OnAuthenticateHeader(Request& r, const char* line, size_t length) {
  const char* p = static_cast<const char*>(std::memchr(line, ':', length)) + 1;
  const char* end = line + length;
  while (p < end && (*p == ' ' || *p == '\t')) ++p;
  const char* tokenEnd = p;
  while (tokenEnd < end && *tokenEnd != ' ' && *tokenEnd != '\t' && *tokenEnd != '\r' &&
         *tokenEnd != '\n' && *tokenEnd != ',') {
    ++tokenEnd;
  }
  const uint32_t bit = SchemeBit(std::string(p, tokenEnd));
  if (bit == 0) return;
  if (r.offeredSchemes == 0) r.firstScheme = bit;
  r.offeredSchemes |= bit;
}

void OnHeadersEnd(Request& r) {
  if (r.status >= 100 && r.status < 200) return;
  if (r.status == kHttpStatusUnauthorized) {
    ++r.unauthorizedCount;
    if (CurlWillAnswer(r)) return;
  }
  if (r.followRedirects && r.status >= 300 && r.status < 400 && r.sawLocation) return;
  r.headersComplete = true;
}

size_t HeaderCallback(char* data, size_t size, size_t count, void* user) {
  Request& r = *static_cast<Request*>(user);
  const size_t length = size * count;
  r.lastActivityMs = NowMs();
  if (StartsWithNoCase(data, length, "HTTP/")) {
    OnStatusLine(r, data, length);
  } else if (StartsWithNoCase(data, length, "WWW-Authenticate:")) {
    OnAuthenticateHeader(r, data, length);
  } else if (StartsWithNoCase(data, length, "Location:")) {
    r.sawLocation = true;
  } else if ((length == 2 && data[0] == '\r' && data[1] == '\n') ||
             (length == 1 && data[0] == '\n')) {
    OnHeadersEnd(r);
  }
  return length;
}

size_t WriteCallback(char* data, size_t size, size_t count, void* user) {
  Request& r = *static_cast<Request*>(user);
  const size_t length = size * count;
  r.lastActivityMs = NowMs();
  // The body of a response curl answers or follows itself is not the caller's.
  if (!r.headersComplete) return length;
  if (r.Buffered() >= kBufferHighWater) {
    r.paused = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  if (r.bodyPos > 0 && r.bodyPos >= r.body.size() / 2) {
    r.body.erase(0, r.bodyPos);
    r.bodyPos = 0;
  }
  r.body.append(data, length);
  return length;
}

int PrereqCallback(void* user, char*, char*, int, int) {
  Request& r = *static_cast<Request*>(user);
  r.connected = true;
  r.lastActivityMs = NowMs();
  return CURL_PREREQFUNC_OK;
}

void ReapFinished(Session& s) {
  int left = 0;
  while (CURLMsg* msg = curl_multi_info_read(s.multi, &left)) {
    if (msg->msg != CURLMSG_DONE) continue;
    Request* r = nullptr;
    curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, reinterpret_cast<char**>(&r));
    if (r == nullptr) continue;
    r->done = true;
    r->result = msg->data.result;
    if (r->result == CURLE_OK && r->status != 0) r->headersComplete = true;
  }
}

bool PastDeadline(const Request& r) {
  return r.deadlineMs != 0 && NowMs() - r.sentAtMs >= r.deadlineMs;
}

// Runs the session's transfers until ready() holds or the request has ended.
// idleMs limits the time without any activity on the request (measured only
// once it is connected, when connectedOnly). False on time-out or cancel.
template <class Ready>
bool Drive(Request& r, Ready ready, uint32_t idleMs, bool connectedOnly) {
  Session& s = *r.session;
  for (;;) {
    int running = 0;
    curl_multi_perform(s.multi, &running);
    ReapFinished(s);
    if (ready() || r.done) return true;
    if (s.cancelled.load() || PastDeadline(r)) return false;
    if (!Unlimited(idleMs) && (r.connected || !connectedOnly) &&
        NowMs() - r.lastActivityMs >= idleMs) {
      return false;
    }
    curl_multi_poll(s.multi, nullptr, 0, kPollSliceMs, nullptr);
  }
}

// Bytes that cannot stand in a request line (blanks, controls, non-ASCII)
// are percent-escaped, and so is '#', which a URL would cut off; all else
// goes out as given.
std::string EscapeTarget(const std::string& path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : path) {
    if (c <= 0x20 || c >= 0x7F || c == '#') {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += char(c);
    }
  }
  return out;
}

long CurlAuthFor(uint32_t scheme) {
  switch (scheme) {
    case kHttpAuthSchemeBasic:
      return CURLAUTH_BASIC;
    case kHttpAuthSchemeNtlm:
      return CURLAUTH_NTLM;
    case kHttpAuthSchemeDigest:
      return CURLAUTH_DIGEST;
    case kHttpAuthSchemeNegotiate:
      return CURLAUTH_NEGOTIATE;
    default:
      return 0;
  }
}

bool Configure(Request& r) {
  CURL* e = r.easy;
  const uint32_t connectMs = Unlimited(r.timeouts.connectMs) ? 0 : r.timeouts.connectMs;
  // The target goes into the URL (not a separate request target) because
  // curl builds the Digest uri from the URL; PATH_AS_IS keeps "/../" and
  // the like untouched.
  bool ok = curl_easy_setopt(e, CURLOPT_URL, r.url.c_str()) == CURLE_OK &&
            curl_easy_setopt(e, CURLOPT_PATH_AS_IS, 1L) == CURLE_OK &&
            curl_easy_setopt(e, CURLOPT_PROXY, "") == CURLE_OK &&
            curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
            curl_easy_setopt(e, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1)) == CURLE_OK &&
            curl_easy_setopt(e, CURLOPT_USERAGENT, r.session->agent.c_str()) == CURLE_OK &&
            curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, long(connectMs)) == CURLE_OK &&
            curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, r.followRedirects ? 1L : 0L) == CURLE_OK &&
            curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, HeaderCallback) == CURLE_OK &&
            curl_easy_setopt(e, CURLOPT_HEADERDATA, &r) == CURLE_OK &&
            curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, WriteCallback) == CURLE_OK &&
            curl_easy_setopt(e, CURLOPT_WRITEDATA, &r) == CURLE_OK &&
            curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, PrereqCallback) == CURLE_OK &&
            curl_easy_setopt(e, CURLOPT_PREREQDATA, &r) == CURLE_OK &&
            curl_easy_setopt(e, CURLOPT_PRIVATE, &r) == CURLE_OK;
  if (!ok) return false;
  // No accept types, like the Windows client.
  r.headers = curl_slist_append(nullptr, "Accept:");
  if (r.headers != nullptr) curl_easy_setopt(e, CURLOPT_HTTPHEADER, r.headers);
  if (r.verb == "HEAD") {
    curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
  } else if (r.verb != "GET") {
    curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, r.verb.c_str());
  }
  if (r.credScheme != 0) {
    curl_easy_setopt(e, CURLOPT_HTTPAUTH, CurlAuthFor(r.credScheme));
    curl_easy_setopt(e, CURLOPT_USERNAME, r.userName.c_str());
    curl_easy_setopt(e, CURLOPT_PASSWORD, r.password.c_str());
  }
  return true;
}

std::once_flag g_curlInit;

}  // namespace

HttpHandle HttpOpenSession(const char* agent) {
  std::call_once(g_curlInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  Session* s = new (std::nothrow) Session;
  if (s == nullptr) return nullptr;
  s->multi = curl_multi_init();
  if (s->multi == nullptr) {
    delete s;
    return nullptr;
  }
  s->agent = agent != nullptr ? agent : "";
  return s;
}

bool HttpSetOption(HttpHandle handle, uint32_t option, uint32_t value) {
  if (Session* s = AsSession(handle)) {
    if (SetTimeout(s->timeouts, option, value)) return true;
    if (option == kHttpOptionMaxConnsPerServer || option == kHttpOptionMaxConnsPer10Server) {
      if (value == 0) return false;
      s->maxConnsPerServer = value;
      return curl_multi_setopt(s->multi, CURLMOPT_MAX_HOST_CONNECTIONS, long(value)) == CURLM_OK;
    }
    return false;
  }
  if (Request* r = AsRequest(handle)) {
    if (r->added) return false;
    if (SetTimeout(r->timeouts, option, value)) return true;
    if (option == kHttpOptionDisableFeature) {
      if (value & kHttpDisableRedirects) r->followRedirects = false;
      return true;
    }
  }
  return false;
}

HttpHandle HttpConnect(HttpHandle session, const char* address, uint16_t port) {
  Session* s = AsSession(session);
  if (s == nullptr || address == nullptr || *address == '\0') return nullptr;
  Connection* c = new (std::nothrow) Connection;
  if (c == nullptr) return nullptr;
  c->session = s;
  c->host = address;
  c->port = port;
  return c;
}

HttpHandle HttpOpenRequest(HttpHandle connection, const char* verb, const char* path,
                           uint32_t flags) {
  Connection* c = AsConnection(connection);
  if (c == nullptr || verb == nullptr || *verb == '\0' || path == nullptr) return nullptr;
  Request* r = new (std::nothrow) Request;
  if (r == nullptr) return nullptr;
  r->session = c->session;
  r->timeouts = c->session->timeouts;
  r->deadlineMs = c->session->requestDeadlineMs;
  r->verb = verb;
  const bool ipv6 = c->host.find(':') != std::string::npos;
  std::string target = *path == '\0' ? "/" : path;
  if (target[0] != '/') target.insert(0, "/");
  (void)flags;  // the query is never re-encoded here, with the flag or without
  r->url = std::string("http://") + (ipv6 ? "[" : "") + c->host + (ipv6 ? "]" : "") + ":" +
           std::to_string(c->port) + EscapeTarget(target);
  r->easy = curl_easy_init();
  if (r->easy == nullptr) {
    delete r;
    return nullptr;
  }
  return r;
}

bool HttpSetCredentials(HttpHandle request, uint32_t target, uint32_t scheme, const char* userName,
                        const char* password) {
  Request* r = AsRequest(request);
  if (r == nullptr || r->added || target != kHttpAuthTargetServer || userName == nullptr) {
    return false;
  }
  if (CurlAuthFor(scheme) == 0) return false;
  r->credScheme = scheme;
  r->userName = userName;
  r->password = password != nullptr ? password : "";
  return true;
}

bool HttpSendRequest(HttpHandle request) {
  Request* r = AsRequest(request);
  if (r == nullptr || r->added || r->session->cancelled.load()) return false;
  if (!Configure(*r)) return false;
  if (curl_multi_add_handle(r->session->multi, r->easy) != CURLM_OK) return false;
  r->added = true;
  r->lastActivityMs = r->sentAtMs = NowMs();
  // Connecting is bounded by curl's connect time-out, which includes the
  // name look-up.
  if (!Drive(
          *r, [r] { return r->connected; }, 0, true))
    return false;
  return !(r->done && r->result != CURLE_OK && !r->headersComplete);
}

bool HttpReceiveResponse(HttpHandle request) {
  Request* r = AsRequest(request);
  if (r == nullptr || !r->added) return false;
  if (!Drive(
          *r, [r] { return r->headersComplete; }, r->timeouts.receiveResponseMs, true)) {
    return false;
  }
  return r->headersComplete;
}

bool HttpQueryStatusCode(HttpHandle request, uint32_t* statusCode) {
  Request* r = AsRequest(request);
  if (r == nullptr || !r->headersComplete || statusCode == nullptr) return false;
  *statusCode = r->status;
  return true;
}

bool HttpQueryAuthSchemes(HttpHandle request, uint32_t* supported, uint32_t* first,
                          uint32_t* target) {
  Request* r = AsRequest(request);
  if (r == nullptr || !r->headersComplete || r->offeredSchemes == 0) return false;
  if (supported != nullptr) *supported = r->offeredSchemes;
  if (first != nullptr) *first = r->firstScheme;
  if (target != nullptr) *target = kHttpAuthTargetServer;
  return true;
}

bool HttpReadData(HttpHandle request, void* buffer, uint32_t size, uint32_t* bytesRead) {
  Request* r = AsRequest(request);
  if (bytesRead != nullptr) *bytesRead = 0;
  if (r == nullptr || !r->headersComplete || buffer == nullptr || bytesRead == nullptr) {
    return false;
  }
  if (r->session->cancelled.load()) return false;
  if (r->Buffered() == 0 && !r->done) {
    if (r->paused) {
      r->paused = false;
      curl_easy_pause(r->easy, CURLPAUSE_CONT);
    }
    r->lastActivityMs = NowMs();
    if (!Drive(
            *r, [r] { return r->Buffered() > 0; }, r->timeouts.receiveMs, false)) {
      return false;
    }
  }
  const size_t n = std::min<size_t>(size, r->Buffered());
  if (n == 0) return r->result == CURLE_OK;
  std::memcpy(buffer, r->body.data() + r->bodyPos, n);
  r->bodyPos += n;
  *bytesRead = uint32_t(n);
  if (r->paused && r->Buffered() < kBufferLowWater) {
    r->paused = false;
    curl_easy_pause(r->easy, CURLPAUSE_CONT);
  }
  return true;
}

void HttpCloseHandle(HttpHandle handle) { delete handle; }

bool HttpSetRequestDeadline(HttpHandle session, uint32_t ms) {
  Session* s = AsSession(session);
  if (s == nullptr) return false;
  s->requestDeadlineMs = ms;
  return true;
}

void HttpResumeSession(HttpHandle session) {
  if (Session* s = AsSession(session)) s->cancelled.store(false);
}

void HttpCancelSession(HttpHandle session) {
  Session* s = AsSession(session);
  if (s == nullptr) return;
  s->cancelled.store(true);
  curl_multi_wakeup(s->multi);
}

uint32_t HttpRequestError(HttpHandle request) {
  Request* r = AsRequest(request);
  if (r == nullptr) return kHttpErrorNone;
  if (r->session->cancelled.load()) return kHttpErrorCancelled;
  // Not finished: a wait ran out.
  if (!r->done) return r->added ? kHttpErrorTimeout : kHttpErrorNone;
  switch (r->result) {
    case CURLE_COULDNT_RESOLVE_HOST:
      return kHttpErrorNameNotResolved;
    case CURLE_COULDNT_CONNECT:
      return kHttpErrorCannotConnect;
    case CURLE_OPERATION_TIMEDOUT:
      return kHttpErrorTimeout;
    default:
      return kHttpErrorConnectionError;
  }
}

}  // namespace platform
}  // namespace quenlix
