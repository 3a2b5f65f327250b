#include "camera/http_utils.h"

#include "camera/text_helpers.h"

namespace quenlix {
namespace HUtils {

namespace {

constexpr const char* kRequestGetRDName = "quenlix::HUtils::RequestGetRD";

// Throttle bands: the counter value where a band starts and the multiple it
// reports at.
constexpr uint32_t kReportAllBelow = 15;
constexpr uint32_t kBand16Below = 255;
constexpr uint32_t kBand256Below = 4095;
constexpr uint32_t kCounterWrapAt = 65535;

}  // namespace

bool ShouldReport(IDebugMessage* sink) {
  if (sink == nullptr) return false;
  uint32_t n = ++sink->repeatCount;
  if (n >= kCounterWrapAt) {
    n = kBand256Below;
    sink->repeatCount = n;
  }
  if (n < kReportAllBelow) return true;
  if (n < kBand16Below) return n % 16 == 0;
  if (n < kBand256Below) return n % 256 == 0;
  return n % 4096 == 0;
}

CResultDef RequestGetRD(const std::string& path, std::vector<uint8_t>& body,
                        Web::CHttpSender& sender, bool readBody) {
  CResultDef outcome;
  const DEVICE_INFO& info = sender.DeviceInfo();
  const std::string address =
      FormatString("%s:%u", info.address.c_str(), static_cast<unsigned>(info.port));

  Web::CHttpRequest request;
  request.path = path;
  body.clear();

  const bool sent = sender.Send(request);
  if (!sent || sender.StatusCode() == 0) {
    outcome = CResultDef(ResultLevelNotSent, ResultNotSent,
                         FormatString("%s: can not send request \"%s\" to %s", kRequestGetRDName,
                                      path.c_str(), address.c_str()));
  } else if (sender.StatusCode() / 100 != 2) {
    outcome =
        CResultDef(ResultLevelError, ResultBadStatus,
                   FormatString("%s: %s sent does not process request \"%s\", status code = %d",
                                kRequestGetRDName, address.c_str(), path.c_str(),
                                static_cast<int>(sender.StatusCode())));
  }

  if (readBody && outcome.code == ResultOk) {
    const size_t length = sender.ReadBody(body);
    if (length > Web::kMaxBodySize) {
      outcome = CResultDef(ResultLevelError, ResultTooLarge,
                           FormatString("%s: response for request \"%s\" from %s is longer than %u "
                                        "bytes",
                                        kRequestGetRDName, path.c_str(), address.c_str(),
                                        unsigned(Web::kMaxBodySize)));
      body.clear();
    } else if (length == 0 || !sender.BodyEnded()) {
      // A body cut off by the deadline or a broken connection is no answer:
      // half a parameter list would read as a camera without half its
      // settings.
      outcome = CResultDef(ResultLevelError, ResultEmptyResponse,
                           FormatString("%s: incorrect response for request \"%s\" from %s",
                                        kRequestGetRDName, path.c_str(), address.c_str()));
      body.clear();
    }
    body.push_back(0);
  }

  sender.CloseRequest();
  return outcome;
}

bool HttpGet(Web::CHttpSender& sender, const std::string& path) {
  Web::CHttpRequest request;
  request.path = path;
  return sender.Send(request);
}

bool HttpGetLogged(const std::string& path, Web::CHttpSender& sender, IDebugMessage* sink) {
  std::vector<uint8_t> scratch;
  const CResultDef outcome = RequestGetRD(path, scratch, sender, false);
  if (outcome.code != ResultOk && !outcome.text.empty() && sink != nullptr && ShouldReport(sink)) {
    // The text is the whole message, never a format: a path may hold '%'.
    sink->DebugMessage(outcome.level, "%s", outcome.text.c_str());
  }
  return outcome.code == ResultOk;
}

}  // namespace HUtils
}  // namespace quenlix
