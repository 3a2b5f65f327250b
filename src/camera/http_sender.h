// The synchronous HTTP client every user of the camera's CGI owns one of.
// Bound to one camera: the address, port, credentials and time-out of the
// device info it was made from. Not thread-safe: one owner thread; only
// Cancel may be called from elsewhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "camera/http_request.h"
#include "platform/http.h"
#include "quenlix/driver.h"

namespace Web {

constexpr size_t kReadBlockSize = 8192;
// The longest body any reply of the camera's CGI needs (the parameter list
// is tens of kilobytes); a longer one is refused after this much plus one
// block, so that dozens of cameras cannot exhaust a 32-bit address space.
constexpr size_t kMaxBodySize = 1024 * 1024;
constexpr uint32_t kMaxConnectionsPerServer = 16;

class CHttpSender {
 public:
  explicit CHttpSender(const quenlix::DEVICE_INFO& deviceInfo);
  virtual ~CHttpSender();
  CHttpSender(const CHttpSender&) = delete;
  CHttpSender& operator=(const CHttpSender&) = delete;

  // Sends one request and receives the response headers; the status is in
  // StatusCode(). On true the request stays open so that its body can be
  // read. A 401 naming a scheme other than the one used is answered once,
  // and that scheme is kept for every later request.
  bool Send(const CHttpRequest& request);

  // Empties buffer and fills it with the body of the open request, in blocks
  // of kReadBlockSize read in place. A body longer than kMaxBodySize stops
  // within one block past it (buffer.size() > kMaxBodySize tells). Returns
  // the buffer's length.
  size_t ReadBody(std::vector<uint8_t>& buffer);
  // Whether the last ReadBody saw the body's end, rather than a failed read
  // (the deadline, a cancel, a cut connection) or the size bound.
  bool BodyEnded() const { return bodyEnded; }

  // Closes the open request, if any.
  void CloseRequest();

  // Makes a request in progress (and every later one) fail soon. Callable
  // from another thread; used to end an owner thread that must stop.
  void Cancel();
  // Undoes Cancel for later requests; only while no request is in progress.
  void Resume();

  uint32_t StatusCode() const { return statusCode; }
  // Why the last Send got no response (an HttpError value), 0 when it got
  // one or the reason is unknown.
  uint32_t LastError() const { return lastError; }
  uint32_t LearnedScheme() const { return learnedScheme; }
  const quenlix::DEVICE_INFO& DeviceInfo() const { return deviceInfo; }

  // The scheme bit for a CHttpRequest::authScheme value: 0->1, 1->2, 2->4,
  // 3->8, 4..7->16 (a later bit test overrides an earlier one).
  static uint32_t MapAuthScheme(uint32_t authScheme);

 private:
  bool SendOnce(const CHttpRequest& request);
  quenlix::platform::HttpHandle OpenRequest(const CHttpRequest& request);

  quenlix::DEVICE_INFO deviceInfo;
  uint32_t learnedScheme = 0;
  uint32_t statusCode = 0;
  uint32_t lastError = 0;
  bool bodyEnded = false;
  quenlix::platform::HttpHandle requestHandle = nullptr;
  quenlix::platform::HttpHandle sessionHandle = nullptr;
  quenlix::platform::HttpHandle connectHandle = nullptr;
};

}  // namespace Web
