#include "camera/http_sender.h"

namespace Web {

namespace http = quenlix::platform;

namespace {

constexpr const char* kAgent = "Quenlix::HttpClient";

}  // namespace

uint32_t CHttpSender::MapAuthScheme(uint32_t authScheme) {
  uint32_t scheme = http::kHttpAuthSchemeBasic;
  if (authScheme & 1u) scheme = http::kHttpAuthSchemeNtlm;
  if (authScheme & 2u) scheme = http::kHttpAuthSchemePassport;
  if ((authScheme & 3u) == 3u) scheme = http::kHttpAuthSchemeDigest;
  if (authScheme & 4u) scheme = http::kHttpAuthSchemeNegotiate;
  return scheme;
}

CHttpSender::CHttpSender(const quenlix::DEVICE_INFO& info) : deviceInfo(info) {
  sessionHandle = http::HttpOpenSession(kAgent);
  if (sessionHandle == nullptr) return;
  const uint32_t timeout = deviceInfo.timeoutMs;
  // The first three are set regardless of one another; the rest form a chain
  // that stops at the first failure.
  http::HttpSetOption(sessionHandle, http::kHttpOptionReceiveTimeout, timeout);
  http::HttpSetOption(sessionHandle, http::kHttpOptionResolveTimeout, timeout);
  if (http::HttpSetOption(sessionHandle, http::kHttpOptionReceiveResponseTimeout, timeout) &&
      http::HttpSetOption(sessionHandle, http::kHttpOptionSendTimeout, timeout) &&
      http::HttpSetOption(sessionHandle, http::kHttpOptionConnectTimeout, timeout) &&
      http::HttpSetOption(sessionHandle, http::kHttpOptionMaxConnsPerServer,
                          kMaxConnectionsPerServer)) {
    http::HttpSetOption(sessionHandle, http::kHttpOptionMaxConnsPer10Server,
                        kMaxConnectionsPerServer);
  }
  // The time-outs above bound each step; a camera that sends a byte now and
  // then would renew them for ever.
  http::HttpSetRequestDeadline(sessionHandle, timeout);
}

CHttpSender::~CHttpSender() {
  CloseRequest();
  if (connectHandle != nullptr) http::HttpCloseHandle(connectHandle);
  if (sessionHandle != nullptr) http::HttpCloseHandle(sessionHandle);
}

void CHttpSender::CloseRequest() {
  if (requestHandle == nullptr) return;
  http::HttpCloseHandle(requestHandle);
  requestHandle = nullptr;
}

void CHttpSender::Cancel() {
  if (sessionHandle != nullptr) http::HttpCancelSession(sessionHandle);
}

void CHttpSender::Resume() {
  if (sessionHandle != nullptr) http::HttpResumeSession(sessionHandle);
}

http::HttpHandle CHttpSender::OpenRequest(const CHttpRequest& request) {
  if (request.method.empty() || request.path.empty()) return nullptr;
  uint32_t flags = http::kHttpFlagBypassProxyCache;
  if (request.options & kRequestOptionRawQuery) flags |= http::kHttpFlagEscapeDisableQuery;
  http::HttpHandle handle =
      http::HttpOpenRequest(connectHandle, request.method.c_str(), request.path.c_str(), flags);
  if (handle == nullptr) return nullptr;
  if (!deviceInfo.userName.empty()) {
    const uint32_t scheme = learnedScheme != 0 ? learnedScheme : MapAuthScheme(request.authScheme);
    if (!http::HttpSetCredentials(handle, http::kHttpAuthTargetServer, scheme,
                                  deviceInfo.userName.c_str(), deviceInfo.password.c_str())) {
      http::HttpCloseHandle(handle);
      return nullptr;
    }
  }
  return handle;
}

bool CHttpSender::Send(const CHttpRequest& request) {
  // At most one retry: the first 401 sets learnedScheme, after which a 401
  // goes back to the caller as a status.
  for (;;) {
    const uint32_t usedScheme =
        learnedScheme != 0 ? learnedScheme : MapAuthScheme(request.authScheme);
    const bool hadLearned = learnedScheme != 0;
    if (!SendOnce(request)) return false;
    if (statusCode != http::kHttpStatusUnauthorized || hadLearned) return true;

    uint32_t supported = 0, first = 0, target = 0;
    const bool offered = http::HttpQueryAuthSchemes(requestHandle, &supported, &first, &target);
    if (offered) learnedScheme = first;
    CloseRequest();
    if (!offered || learnedScheme == 0 || learnedScheme == usedScheme) return false;
  }
}

bool CHttpSender::SendOnce(const CHttpRequest& request) {
  CloseRequest();
  lastError = 0;
  if (sessionHandle == nullptr) return false;
  if (connectHandle == nullptr) {
    connectHandle = http::HttpConnect(sessionHandle, deviceInfo.address.c_str(), deviceInfo.port);
    if (connectHandle == nullptr) return false;
  }
  http::HttpHandle handle = OpenRequest(request);
  if (handle == nullptr) return false;
  if ((request.options & kRequestOptionNoRedirects) &&
      !http::HttpSetOption(handle, http::kHttpOptionDisableFeature, http::kHttpDisableRedirects)) {
    http::HttpCloseHandle(handle);
    return false;
  }
  if (!http::HttpSendRequest(handle) || !http::HttpReceiveResponse(handle)) {
    lastError = http::HttpRequestError(handle);
    http::HttpCloseHandle(handle);
    return false;
  }
  uint32_t status = 0;
  if (http::HttpQueryStatusCode(handle, &status)) statusCode = status;
  requestHandle = handle;
  return true;
}

size_t CHttpSender::ReadBody(std::vector<uint8_t>& buffer) {
  buffer.clear();
  bodyEnded = false;
  while (requestHandle != nullptr && buffer.size() <= kMaxBodySize) {
    const size_t have = buffer.size();
    buffer.resize(have + kReadBlockSize);
    uint32_t got = 0;
    const bool read =
        http::HttpReadData(requestHandle, buffer.data() + have, uint32_t(kReadBlockSize), &got);
    buffer.resize(have + (read ? got : 0));
    bodyEnded = read && got == 0;
    if (bodyEnded || !read) break;
  }
  return buffer.size();
}

}  // namespace Web
