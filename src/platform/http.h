// The HTTP operations the camera's CGI client needs, in the vocabulary of the
// Windows HTTP services the product runs on: handles for a session, a
// connection and a request, synchronous calls that block at most for the
// session's time-outs, option numbers and authentication scheme bits as
// WinHTTP defines them. win32/ is WinHTTP itself; posix/ is libcurl.
//
// All texts are ANSI (the system code page) strings; the Win32 backend turns
// them into UTF-16.
//
// Backend differences the caller can see:
//   - POSIX: the resolve time-out is folded into the connect time-out, and the
//     send time-out is not enforced separately (a GET has no body to send).
//   - POSIX: Digest, NTLM and Negotiate credentials are answered inside one
//     request: the request goes out without credentials, and the challenge in
//     the server's 401 is answered on the same connection before the response
//     is handed back. Basic credentials go out with the first request. WinHTTP
//     behaves the same way for a scheme the server names in its 401.
//   - Passport credentials cannot be set on POSIX (HttpSetCredentials fails).
//   - POSIX: the object path is sent as given, with or without
//     kHttpFlagEscapeDisableQuery, except that bytes which cannot stand in a
//     request line (blanks, controls, non-ASCII) and '#' are percent-escaped.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quenlix {
namespace platform {

struct HttpHandleRecord;
// A session, a connection or a request; null means none.
using HttpHandle = HttpHandleRecord*;

// Authentication scheme bits.
enum HttpAuthScheme : uint32_t {
  kHttpAuthSchemeBasic = 1,
  kHttpAuthSchemeNtlm = 2,
  kHttpAuthSchemePassport = 4,
  kHttpAuthSchemeDigest = 8,
  kHttpAuthSchemeNegotiate = 16,
};

// The status codes the callers act on.
enum HttpStatus : uint32_t {
  kHttpStatusUnauthorized = 401,
};

// Credential targets.
enum HttpAuthTarget : uint32_t {
  kHttpAuthTargetServer = 0,
  kHttpAuthTargetProxy = 1,
};

// Option numbers for HttpSetOption; every value is a 32-bit word.
enum HttpOption : uint32_t {
  kHttpOptionResolveTimeout = 2,
  kHttpOptionConnectTimeout = 3,
  kHttpOptionSendTimeout = 5,
  kHttpOptionReceiveTimeout = 6,          // each read of the response
  kHttpOptionReceiveResponseTimeout = 7,  // from the request sent to the headers
  kHttpOptionDisableFeature = 63,         // value: kHttpDisable* bits
  kHttpOptionMaxConnsPerServer = 73,
  kHttpOptionMaxConnsPer10Server = 74,
};

constexpr uint32_t kHttpDisableRedirects = 2;

// Request flags for HttpOpenRequest.
constexpr uint32_t kHttpFlagEscapeDisableQuery = 0x80;  // the query goes out as given
constexpr uint32_t kHttpFlagBypassProxyCache = 0x100;

// Why a request call failed, in WinHTTP's numbers (ERROR_WINHTTP_*).
enum HttpError : uint32_t {
  kHttpErrorNone = 0,
  kHttpErrorTimeout = 12002,
  kHttpErrorNameNotResolved = 12007,
  kHttpErrorCancelled = 12017,
  kHttpErrorCannotConnect = 12029,    // refused or unreachable
  kHttpErrorConnectionError = 12030,  // reset or closed before a response
};

// The time-outs a new session starts with, in milliseconds.
constexpr uint32_t kHttpDefaultResolveTimeoutMs = 0;  // 0: no limit
constexpr uint32_t kHttpDefaultConnectTimeoutMs = 60000;
constexpr uint32_t kHttpDefaultSendTimeoutMs = 30000;
constexpr uint32_t kHttpDefaultReceiveTimeoutMs = 30000;

// A synchronous session that never uses a proxy. Null on failure.
HttpHandle HttpOpenSession(const char* agent);

// Sets an option on a session (time-outs, connection limits; requests opened
// later take them over) or on a request (time-outs, disable-feature).
// False for an option the handle does not take.
bool HttpSetOption(HttpHandle handle, uint32_t option, uint32_t value);

// A connection to address:port (plain HTTP). Nothing is sent yet; the name is
// resolved when the first request goes out. Null on failure.
HttpHandle HttpConnect(HttpHandle session, const char* address, uint16_t port);

// A request for verb and object path (with query), HTTP/1.1, no referrer and
// no accept types. Null on failure.
HttpHandle HttpOpenRequest(HttpHandle connection, const char* verb, const char* path,
                           uint32_t flags);

// Credentials for one scheme bit, used when the request is sent.
bool HttpSetCredentials(HttpHandle request, uint32_t target, uint32_t scheme, const char* userName,
                        const char* password);

// Sends the request with no extra headers and no body.
bool HttpSendRequest(HttpHandle request);

// Waits for the response headers (at most the receive-response time-out).
bool HttpReceiveResponse(HttpHandle request);

// The status code of the received response.
bool HttpQueryStatusCode(HttpHandle request, uint32_t* statusCode);

// The schemes a 401 response offers: all of them as bits, the first one the
// server named, and the target (server or proxy). False when none is offered.
bool HttpQueryAuthSchemes(HttpHandle request, uint32_t* supported, uint32_t* first,
                          uint32_t* target);

// Reads up to size bytes of the body (blocking at most the receive time-out).
// *bytesRead 0 with true: the body has ended. False on failure or time-out;
// what was read before stays valid.
bool HttpReadData(HttpHandle request, void* buffer, uint32_t size, uint32_t* bytesRead);

// Why the last HttpSendRequest or HttpReceiveResponse on request failed
// (an HttpError value, or another WinHTTP error number). Ask at once, before
// any other call on the calling thread.
uint32_t HttpRequestError(HttpHandle request);

// Closes any handle. Closing a request that still has unread body data drops
// the rest of it (the connection is then not reused).
void HttpCloseHandle(HttpHandle handle);

// Gives every request of this session opened from now on an overall
// deadline: from HttpSendRequest, connecting, the headers and the whole body
// together take at most ms (0: no deadline), however the server paces its
// bytes. Past it every blocking call on the request fails.
bool HttpSetRequestDeadline(HttpHandle session, uint32_t ms);

// Makes every blocking call on requests of this session end soon with a
// failure, from now on (until HttpResumeSession). May be called from any thread while the session's
// owner is blocked in a call; the handles stay valid and their owner still
// closes them.
void HttpCancelSession(HttpHandle session);

// Lets requests opened from now on run again after HttpCancelSession. Only
// while no call on the session's requests is in progress.
void HttpResumeSession(HttpHandle session);

}  // namespace platform
}  // namespace quenlix
