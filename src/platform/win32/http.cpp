// The HTTP contract over WinHTTP itself. Handles are wrapped so that a
// session can cancel its requests from another thread: closing a WinHTTP
// request handle ends a synchronous call blocked on it.
#include "platform/http.h"

#include <windows.h>
#include <winhttp.h>

#include <new>
#include <set>
#include <string>

namespace quenlix {
namespace platform {

struct HttpHandleRecord {
  enum class Kind { kSession, kConnection, kRequest };
  HttpHandleRecord(Kind kind, HINTERNET handle) : kind(kind), handle(handle) {}
  virtual ~HttpHandleRecord() = default;
  const Kind kind;
  HINTERNET handle;
};

namespace {

struct Session : HttpHandleRecord {
  explicit Session(HINTERNET h) : HttpHandleRecord(Kind::kSession, h) {
    InitializeCriticalSection(&lock);
  }
  ~Session() override { DeleteCriticalSection(&lock); }
  CRITICAL_SECTION lock;  // guards requests, cancelled and each request's handle
  std::set<HttpHandleRecord*> requests;
  bool cancelled = false;
  uint32_t requestDeadlineMs = 0;
};

struct Connection : HttpHandleRecord {
  Connection(HINTERNET h, Session* s) : HttpHandleRecord(Kind::kConnection, h), session(s) {}
  Session* session;
};

struct Request : HttpHandleRecord {
  Request(HINTERNET h, Session* s) : HttpHandleRecord(Kind::kRequest, h), session(s) {}
  Session* session;
  HANDLE deadlineTimer = nullptr;  // closes the handle when the deadline passes
};

// Holds a session's lock for one scope.
class SessionLock {
 public:
  explicit SessionLock(Session* s) : section_(&s->lock) { EnterCriticalSection(section_); }
  ~SessionLock() { LeaveCriticalSection(section_); }
  SessionLock(const SessionLock&) = delete;
  SessionLock& operator=(const SessionLock&) = delete;

 private:
  CRITICAL_SECTION* section_;
};

// A request's WinHTTP handle, left null in the record.
HINTERNET TakeHandle(Request* r) {
  SessionLock lock(r->session);
  HINTERNET h = r->handle;
  r->handle = nullptr;
  return h;
}

// Closes a request's WinHTTP handle, which ends the owner's blocked call;
// the record stays until its owner closes it.
void CloseLiveHandle(Request* r) {
  HINTERNET h = TakeHandle(r);
  if (h != nullptr) WinHttpCloseHandle(h);
}

void CALLBACK OnDeadline(PVOID request, BOOLEAN) {
  CloseLiveHandle(static_cast<Request*>(request));
}

std::wstring Widen(const char* text) {
  if (text == nullptr || *text == '\0') return std::wstring();
  const int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text, -1, &out[0], n);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

// The live WinHTTP handle of a request, or null once its session cancelled
// it.
HINTERNET Live(HttpHandleRecord* record) {
  if (record == nullptr) return nullptr;
  if (record->kind != HttpHandleRecord::Kind::kRequest) return record->handle;
  Request* r = static_cast<Request*>(record);
  SessionLock lock(r->session);
  return r->handle;
}

Request* AsRequest(HttpHandle h) {
  return h != nullptr && h->kind == HttpHandleRecord::Kind::kRequest ? static_cast<Request*>(h)
                                                                     : nullptr;
}

}  // namespace

HttpHandle HttpOpenSession(const char* agent) {
  HINTERNET h = WinHttpOpen(Widen(agent).c_str(), WINHTTP_ACCESS_TYPE_NO_PROXY,
                            WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  if (h == nullptr) return nullptr;
  Session* s = new (std::nothrow) Session(h);
  if (s == nullptr) WinHttpCloseHandle(h);
  return s;
}

bool HttpSetOption(HttpHandle handle, uint32_t option, uint32_t value) {
  HINTERNET h = Live(handle);
  if (h == nullptr) return false;
  DWORD v = value;
  return WinHttpSetOption(h, option, &v, sizeof(v)) != FALSE;
}

HttpHandle HttpConnect(HttpHandle session, const char* address, uint16_t port) {
  if (session == nullptr || session->kind != HttpHandleRecord::Kind::kSession) return nullptr;
  Session* s = static_cast<Session*>(session);
  HINTERNET h = WinHttpConnect(s->handle, Widen(address).c_str(), port, 0);
  if (h == nullptr) return nullptr;
  Connection* c = new (std::nothrow) Connection(h, s);
  if (c == nullptr) WinHttpCloseHandle(h);
  return c;
}

HttpHandle HttpOpenRequest(HttpHandle connection, const char* verb, const char* path,
                           uint32_t flags) {
  if (connection == nullptr || connection->kind != HttpHandleRecord::Kind::kConnection) {
    return nullptr;
  }
  Connection* c = static_cast<Connection*>(connection);
  HINTERNET h = WinHttpOpenRequest(c->handle, Widen(verb).c_str(), Widen(path).c_str(), nullptr,
                                   WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, flags);
  if (h == nullptr) return nullptr;
  Request* r = new (std::nothrow) Request(h, c->session);
  if (r == nullptr) {
    WinHttpCloseHandle(h);
    return nullptr;
  }
  Session* s = c->session;
  bool cancelled = false;
  {
    SessionLock lock(s);
    cancelled = s->cancelled;
    if (!cancelled) s->requests.insert(r);
  }
  if (cancelled) {
    WinHttpCloseHandle(h);
    delete r;
    return nullptr;
  }
  return r;
}

bool HttpSetCredentials(HttpHandle request, uint32_t target, uint32_t scheme, const char* userName,
                        const char* password) {
  HINTERNET h = Live(AsRequest(request));
  if (h == nullptr) return false;
  const std::wstring user = Widen(userName);
  const std::wstring pass = Widen(password);
  return WinHttpSetCredentials(h, target, scheme, user.c_str(), pass.c_str(), nullptr) != FALSE;
}

bool HttpSendRequest(HttpHandle request) {
  Request* r = AsRequest(request);
  HINTERNET h = Live(r);
  if (h == nullptr) return false;
  // WinHTTP's time-outs bound each step; a server trickling its bytes keeps
  // every step alive, so the whole request gets a deadline of its own.
  uint32_t deadlineMs = 0;
  {
    SessionLock lock(r->session);
    deadlineMs = r->session->requestDeadlineMs;
  }
  if (deadlineMs != 0 && r->deadlineTimer == nullptr &&
      !CreateTimerQueueTimer(&r->deadlineTimer, nullptr, OnDeadline, r, deadlineMs, 0,
                             WT_EXECUTEONLYONCE)) {
    r->deadlineTimer = nullptr;
    return false;
  }
  return WinHttpSendRequest(h, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0,
                            0) != FALSE;
}

bool HttpReceiveResponse(HttpHandle request) {
  HINTERNET h = Live(AsRequest(request));
  if (h == nullptr) return false;
  return WinHttpReceiveResponse(h, nullptr) != FALSE;
}

bool HttpQueryStatusCode(HttpHandle request, uint32_t* statusCode) {
  HINTERNET h = Live(AsRequest(request));
  if (h == nullptr || statusCode == nullptr) return false;
  DWORD status = 0;
  DWORD size = sizeof(status);
  if (!WinHttpQueryHeaders(h, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
    return false;
  }
  *statusCode = status;
  return true;
}

bool HttpQueryAuthSchemes(HttpHandle request, uint32_t* supported, uint32_t* first,
                          uint32_t* target) {
  HINTERNET h = Live(AsRequest(request));
  if (h == nullptr) return false;
  DWORD s = 0, f = 0, t = 0;
  if (!WinHttpQueryAuthSchemes(h, &s, &f, &t)) return false;
  if (supported != nullptr) *supported = s;
  if (first != nullptr) *first = f;
  if (target != nullptr) *target = t;
  return true;
}

bool HttpReadData(HttpHandle request, void* buffer, uint32_t size, uint32_t* bytesRead) {
  if (bytesRead != nullptr) *bytesRead = 0;
  HINTERNET h = Live(AsRequest(request));
  if (h == nullptr || bytesRead == nullptr) return false;
  DWORD got = 0;
  if (!WinHttpReadData(h, buffer, size, &got)) return false;
  *bytesRead = got;
  return true;
}

void HttpCloseHandle(HttpHandle handle) {
  if (handle == nullptr) return;
  if (Request* r = AsRequest(handle)) {
    // Waits for a deadline callback in progress, which takes the lock below.
    if (r->deadlineTimer != nullptr)
      DeleteTimerQueueTimer(nullptr, r->deadlineTimer, INVALID_HANDLE_VALUE);
    {
      SessionLock lock(r->session);
      r->session->requests.erase(r);
    }
    CloseLiveHandle(r);
  } else if (handle->handle != nullptr) {
    WinHttpCloseHandle(handle->handle);
  }
  delete handle;
}

bool HttpSetRequestDeadline(HttpHandle session, uint32_t ms) {
  if (session == nullptr || session->kind != HttpHandleRecord::Kind::kSession) return false;
  Session* s = static_cast<Session*>(session);
  SessionLock lock(s);
  s->requestDeadlineMs = ms;
  return true;
}

void HttpResumeSession(HttpHandle session) {
  if (session == nullptr || session->kind != HttpHandleRecord::Kind::kSession) return;
  Session* s = static_cast<Session*>(session);
  SessionLock lock(s);
  s->cancelled = false;
}

void HttpCancelSession(HttpHandle session) {
  if (session == nullptr || session->kind != HttpHandleRecord::Kind::kSession) return;
  Session* s = static_cast<Session*>(session);
  SessionLock lock(s);
  s->cancelled = true;
  for (HttpHandleRecord* r : s->requests) {
    // The owner's blocked call fails; its record stays until it closes it.
    if (r->handle != nullptr) WinHttpCloseHandle(r->handle);
    r->handle = nullptr;
  }
}

uint32_t HttpRequestError(HttpHandle) { return uint32_t(GetLastError()); }

}  // namespace platform
}  // namespace quenlix
