#include "camera_url.h"

#include <algorithm>
#include <cstdlib>

namespace ipcap {

namespace {

constexpr const char* kScheme = "rtsp://";
constexpr const char* kHttpPortKey = "http-port=";
constexpr uint32_t kRtspPortParameter = 2;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool PercentDecode(const std::string& in, std::string* out) {
  out->clear();
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '%') {
      *out += in[i];
      continue;
    }
    if (i + 2 >= in.size()) return false;
    const int high = HexValue(in[i + 1]);
    const int low = HexValue(in[i + 2]);
    if (high < 0 || low < 0) return false;
    *out += char(high * 16 + low);
    i += 2;
  }
  return true;
}

// A decimal port from 1 to 65535, the whole text.
bool ParsePort(const std::string& text, uint16_t* port) {
  if (text.empty() || text.size() > 5) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  const long value = std::strtol(text.c_str(), nullptr, 10);
  if (value < 1 || value > 65535) return false;
  *port = uint16_t(value);
  return true;
}

}  // namespace

bool ParseCameraUrl(const std::string& url, CameraOptions* camera, std::string* error) {
  const std::string scheme = kScheme;
  if (url.compare(0, scheme.size(), scheme) != 0) {
    *error = "a camera URL begins with rtsp://, got \"" + url + "\"";
    return false;
  }
  const size_t authorityStart = scheme.size();
  const size_t authorityEnd = url.find_first_of("/?#", authorityStart);
  const std::string authority = url.substr(authorityStart, authorityEnd - authorityStart);
  std::string hostPort = authority;
  const size_t at = authority.rfind('@');
  if (at != std::string::npos) {
    const std::string userInfo = authority.substr(0, at);
    hostPort = authority.substr(at + 1);
    const size_t colon = userInfo.find(':');
    std::string password;
    if (!PercentDecode(userInfo.substr(0, colon), &camera->user) ||
        (colon != std::string::npos && !PercentDecode(userInfo.substr(colon + 1), &password))) {
      *error = "bad percent escape in the camera URL's user or password";
      return false;
    }
    if (colon != std::string::npos) camera->password = password;
  }
  const size_t colon = hostPort.find(':');
  camera->address = hostPort.substr(0, colon);
  if (camera->address.empty()) {
    *error = "the camera URL names no host: \"" + url + "\"";
    return false;
  }
  if (colon != std::string::npos) {
    uint16_t rtspPort = 0;
    if (!ParsePort(hostPort.substr(colon + 1), &rtspPort)) {
      *error = "bad RTSP port in the camera URL: \"" + hostPort.substr(colon + 1) + "\"";
      return false;
    }
    camera->params[kRtspPortParameter] = std::to_string(rtspPort);
  }
  const size_t query = url.find('?', authorityStart);
  if (query == std::string::npos) return true;
  const size_t fragment = url.find('#', query);
  const std::string queryText = url.substr(
      query + 1, fragment == std::string::npos ? std::string::npos : fragment - query - 1);
  size_t start = 0;
  while (start <= queryText.size()) {
    const size_t end = std::min(queryText.find('&', start), queryText.size());
    const std::string item = queryText.substr(start, end - start);
    const std::string key = kHttpPortKey;
    if (item.compare(0, key.size(), key) == 0 &&
        !ParsePort(item.substr(key.size()), &camera->port)) {
      *error = "bad http-port in the camera URL: \"" + item + "\"";
      return false;
    }
    start = end + 1;
  }
  return true;
}

}  // namespace ipcap
