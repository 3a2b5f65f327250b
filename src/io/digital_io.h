// The digital I/O of this camera family over its HTTP CGI: inputs are armed
// and polled one by one, outputs are switched by a parameter update.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "camera/http_sender.h"
#include "io/io_base.h"

namespace quenlix {

class CDigitalIO : public CIOBase {
 public:
  static constexpr const char* kArmPath =
      "/siqura-cgi/admin/param.cgi?action=update&Input.I%u.Trig=open";
  static constexpr const char* kOutputPath =
      "/siqura-cgi/admin/param.cgi?action=update&Output.O%d.Active=%s";
  static constexpr const char* kInputPath = "/siqura-cgi/io/input.cgi?checkactive=%u";

  explicit CDigitalIO(IDriver* driver);
  ~CDigitalIO() override;

  void Initialize() override;
  bool WriteOutput(uint32_t outputIndex, uint32_t value) override;
  bool PollInputs(uint32_t count) override;

  // Reads the state of input number (1-based) from a poll reply. False when
  // the reply has no usable line for it: no line, or a value that is
  // neither "active" nor "inactive".
  static bool ReadInputState(uint32_t number, const std::string& reply, uint32_t* state);

 protected:
  void CancelRequests() override;
  void RenewAfterCancel() override;

 private:
  // Whether the camera refused the request just made (401, 403); tells the
  // log through the repeat throttle when it did.
  bool Refused(const Web::CHttpSender& sender, const std::string& path);

  // The device info as it was when the object was made: the senders' short
  // time-out belongs to the I/O, not to the driver's later settings.
  DEVICE_INFO deviceInfo;
  std::unique_ptr<Web::CHttpSender> outputSender;  // output thread only
  std::unique_ptr<Web::CHttpSender> inputSender;   // arming and polling
};

}  // namespace quenlix
