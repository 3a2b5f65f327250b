// The RTSP words the client and its reply parser share: request methods,
// the status codes the session turns on, authorization schemes.
#pragma once

namespace quenlix {

enum RTSPMethod : int {
  kRtspDescribe = 1,
  kRtspSetup = 2,
  kRtspPlay = 3,
  kRtspTeardown = 4,
  kRtspOptions = 5,
};

enum RTSPStatus : int {
  kRtspStatusOk = 200,
  kRtspStatusUnauthorized = 401,
};

enum AuthScheme : int {
  kAuthNone = 0,
  kAuthBasic = 1,
  kAuthDigest = 2,
};

}  // namespace quenlix
