#include "io/digital_io.h"

#include <cstring>
#include <new>
#include <vector>

#include "camera/http_utils.h"
#include "camera/text_helpers.h"

namespace quenlix {

namespace {

constexpr const char* kInputKey = "Input%u";
constexpr const char* kSeparator = "=";
constexpr const char* kLineDelimiters = "\r\n";
constexpr const char* kValueInactive = "inactive";
constexpr const char* kValueActive = "active";
constexpr const char* kOpen = "open";
constexpr const char* kClosed = "closed";
constexpr uint32_t kLogError = 1;
constexpr uint32_t kStatusUnauthorized = 401;
constexpr uint32_t kStatusForbidden = 403;
constexpr const char* kRefusedFormat = "%s: Camera %s refused I/O request \"%s\" (status %u)";
constexpr const char* kRefusedReporter = "quenlix::CDigitalIO::Request";

DEVICE_INFO DeviceInfoOf(IDriver* driver) {
  return driver != nullptr ? driver->GetDeviceInfo() : DEVICE_INFO();
}

std::unique_ptr<Web::CHttpSender> MakeSender(const DEVICE_INFO& info) {
  return std::unique_ptr<Web::CHttpSender>(new (std::nothrow) Web::CHttpSender(info));
}

// The reply as text: up to the zero byte that RequestGetRD appends, or to
// the end of the buffer should there be none.
std::string ReplyText(const std::vector<uint8_t>& body) {
  if (body.empty()) return std::string();
  const char* text = reinterpret_cast<const char*>(body.data());
  const void* zero = std::memchr(text, 0, body.size());
  const size_t length =
      zero != nullptr ? size_t(static_cast<const char*>(zero) - text) : body.size();
  return std::string(text, length);
}

}  // namespace

CDigitalIO::CDigitalIO(IDriver* driver)
    : CIOBase(driver),
      deviceInfo(DeviceInfoOf(driver)),
      outputSender(MakeSender(deviceInfo)),
      inputSender(MakeSender(deviceInfo)) {}

CDigitalIO::~CDigitalIO() {
  // Both threads end before the senders go; no renewal, they are released.
  StopThreads(false);
}

void CDigitalIO::Initialize() {
  const uint32_t inputs = GetInputCount();
  for (uint32_t i = 0; i < inputs && inputSender; ++i) {
    CRequestScope scope(*this);
    if (!scope.Entered()) break;
    Web::CHttpRequest request;
    request.path = FormatString(kArmPath, unsigned(i));
    // The camera's answer to arming tells nothing the first poll will not.
    inputSender->Send(request);
    inputSender->CloseRequest();
  }
  CIOBase::Initialize();
}

bool CDigitalIO::Refused(const Web::CHttpSender& sender, const std::string& path) {
  const uint32_t status = sender.StatusCode();
  if (status != kStatusUnauthorized && status != kStatusForbidden) return false;
  if (driver != nullptr && HUtils::ShouldReport(driver)) {
    driver->DebugMessage(kLogError, kRefusedFormat, kRefusedReporter, deviceInfo.address.c_str(),
                         path.c_str(), unsigned(status));
  }
  return true;
}

bool CDigitalIO::WriteOutput(uint32_t outputIndex, uint32_t value) {
  if (!outputSender) return false;
  CRequestScope scope(*this);
  if (!scope.Entered()) return false;
  const std::string path =
      FormatString(kOutputPath, int(outputIndex), value == kOutputOpen ? kOpen : kClosed);
  const bool sent = HUtils::HttpGet(*outputSender, path);
  // A refused switch did not happen: the camera said so.
  const bool refused = sent && Refused(*outputSender, path);
  outputSender->CloseRequest();
  return sent && !refused;
}

bool CDigitalIO::PollInputs(uint32_t count) {
  if (!inputSender) return false;
  for (uint32_t n = 1; n <= count; ++n) {
    std::vector<uint8_t> body;
    const std::string path = FormatString(kInputPath, unsigned(n));
    CResultDef outcome;
    {
      CRequestScope scope(*this);
      if (!scope.Entered()) return true;
      outcome = HUtils::RequestGetRD(path, body, *inputSender, true);
    }
    // A reply far too long for an input's state is the camera's fault, and
    // worth a line; it counts as a failed poll of that input.
    if (outcome.code == ResultTooLarge && driver != nullptr && HUtils::ShouldReport(driver)) {
      driver->DebugMessage(outcome.level, "%s", outcome.text.c_str());
    }
    // No answer at all: the camera is not reachable, and asking for the
    // other inputs would only wait out the same time-out again. Refused
    // credentials fail every input alike.
    if (outcome.code == ResultNotSent) return false;
    if (outcome.code == ResultBadStatus && Refused(*inputSender, path)) return false;
    if (outcome.code != ResultOk) continue;
    uint32_t state = kStateUnknown;
    if (ReadInputState(n, ReplyText(body), &state)) UpdateInput(n - 1, state);
  }
  return true;
}

bool CDigitalIO::ReadInputState(uint32_t number, const std::string& reply, uint32_t* state) {
  const std::string value =
      GetKeyValue(FormatString(kInputKey, unsigned(number)), kSeparator, reply, kLineDelimiters);
  // "inactive" contains "active": it is looked for first.
  if (value.find(kValueInactive) != std::string::npos) {
    *state = kStateInactive;
    return true;
  }
  if (value.find(kValueActive) != std::string::npos) {
    *state = kStateActive;
    return true;
  }
  // A reply without the input's line is not a report that the input is
  // active: raising an alarm on it would be the camera's garbled answer, not
  // an input. It counts as a failed poll of that input.
  return false;
}

void CDigitalIO::CancelRequests() {
  if (outputSender) outputSender->Cancel();
  if (inputSender) inputSender->Cancel();
}

void CDigitalIO::RenewAfterCancel() {
  // A cancelled sender fails every later request, so a new Start needs
  // fresh ones.
  outputSender = MakeSender(deviceInfo);
  inputSender = MakeSender(deviceInfo);
}

}  // namespace quenlix
