// One camera request, filled by the caller.
#pragma once

#include <cstdint>
#include <string>

namespace Web {

// Bits of CHttpRequest::options.
constexpr uint32_t kRequestOptionRawQuery = 1;     // send the query exactly as given
constexpr uint32_t kRequestOptionNoRedirects = 4;  // never follow a redirect

// CHttpRequest::authScheme values.
enum RequestAuthScheme : uint32_t {
  AuthBasic = 0,
  AuthNtlm = 1,
  AuthPassport = 2,
  AuthDigest = 3,
  AuthNegotiate = 4,
};

struct CHttpRequest {
  std::string method = "GET";
  std::string path;  // object path with query, e.g. "/siqura-cgi/admin/param.cgi?action=list"
  uint32_t authScheme = AuthBasic;  // the scheme to try first
  uint32_t options = kRequestOptionRawQuery | kRequestOptionNoRedirects;
};

}  // namespace Web
