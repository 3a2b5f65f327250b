// One-call camera requests over a CHttpSender, and the repeat throttle for
// their failure messages.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "camera/http_sender.h"
#include "camera/result_def.h"
#include "quenlix/debug.h"

namespace quenlix {
namespace HUtils {

// One GET of path. On a 2xx status with readBody set, the body goes into
// body followed by one zero byte (so it reads as a C string); without a body
// wanted, body is left empty. A body cut off before its end, or longer than
// Web::kMaxBodySize, fails the request and leaves only the zero byte. The
// outcome carries the message to report.
CResultDef RequestGetRD(const std::string& path, std::vector<uint8_t>& body,
                        Web::CHttpSender& sender, bool readBody);

// Sends a GET of path and returns Send's result, whatever the status. The
// body is not read; the request stays open until the sender's next Send.
bool HttpGet(Web::CHttpSender& sender, const std::string& path);

// RequestGetRD without the body; a failure's text goes to sink (may be null)
// through ShouldReport. True when the request succeeded.
bool HttpGetLogged(const std::string& path, Web::CHttpSender& sender, IDebugMessage* sink);

// Repeat throttle on the sink's repeatCount: the first 14 calls report, then
// every 16th up to 255, every 256th up to 4095, then every 4096th. The count
// wraps from 65535 back to 4095 and is never reset.
bool ShouldReport(IDebugMessage* sink);

}  // namespace HUtils
}  // namespace quenlix
