// RTSP 1.0 client for one unicast RTP-over-UDP session with a camera: one
// TCP connection, the five requests the channel uses, Basic and Digest
// authorization. Used by one thread; writes no log messages.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/socket.h"
#include "rtsp/rtsp_response_parser.h"
#include "rtsp/rtsp_vocabulary.h"

namespace quenlix {

// Why the last Connect or request of a client failed.
enum RTSPFailure : int {
  kRtspFailNone = 0,
  kRtspConnectRefused,
  kRtspConnectTimedOut,
  kRtspConnectFailed,  // no socket, an unknown name, another socket error
  kRtspSendFailed,     // the request could not be written: the connection is gone
  kRtspNoReply,        // nothing came back before the receive time-out or the close
  kRtspReplyCut,       // part of a reply, then the close, the time-out or the size cap
  kRtspBadStatus,      // a whole reply with a status other than 200 and 401
  kRtspUnreadable,     // a whole reply that could not be read
};

struct RTSP_SESSION_INFO {
  uint16_t port = 554;
  uint16_t clientRtpPort = 0;
  uint16_t clientRtcpPort = 0;
  std::string address;
  std::string userName;
  std::string password;
  uint32_t connectTimeoutMs = 5000;
  // Bounds the wait for one whole reply.
  uint32_t receiveTimeoutMs = 5000;
  uint32_t receiveBufferSize = 65536;
  uint32_t defaultSessionTimeout = 60;  // seconds, while the camera has named none
  uint32_t authScheme = kAuthNone;
  std::string path;  // e.g. "h264"
};

class CBaseRTSPClient {
 public:
  // Room for the encoded Basic credential ("user:password" in base64).
  static constexpr size_t kCredentialCapacity = 100;
  // Longest reply accepted; a reply is cut here.
  static constexpr size_t kMaxReplySize = 65536;

  CBaseRTSPClient() = default;
  CBaseRTSPClient(const CBaseRTSPClient&) = delete;
  CBaseRTSPClient& operator=(const CBaseRTSPClient&) = delete;

  // The complete request text, or "" when none can be built.
  virtual std::string BuildRequest(int method);
  virtual ~CBaseRTSPClient();

  // Connect and every reply wait but a TEARDOWN's give up within a tenth of
  // a second once this (manual-reset) event is set; null: never. The event
  // is the owner's.
  void SetStopEvent(platform::Event event) { stopEvent_ = event; }

  bool Connect(const RTSP_SESSION_INFO& info);
  void Disconnect();
  // One request and its reply. True for a readable 200 or 401 that carries
  // the request's CSeq (or none).
  bool Transact(int method);
  // Transact, repeated once to answer a challenge. False also when the
  // camera still refuses the credentials (CredentialsRefused then holds).
  bool SendRequest(int method);
  uint32_t GetSessionTimeoutMs() const;
  void GetParameterSets(std::vector<uint8_t>& sps, std::vector<uint8_t>& pps) const;

  bool CredentialsRefused() const;
  RTSPFailure LastFailure() const { return failure_; }
  // Status code and reason of the reply that failed, e.g. "404 Not Found";
  // printable characters only, bounded.
  const std::string& FailedStatus() const { return failedStatus_; }
  // Winsock error of a connection that failed, 0 when none is known.
  int ConnectError() const { return connectError_; }
  bool IsConnected() const { return connected_; }
  const CRTSPResponseParser& Parser() const { return parser_; }
  const RTSP_SESSION_INFO& SessionInfo() const { return info_; }

  static const char* GetMethodName(int method);
  static bool MakeBasicCredentials(const std::string& userName, const std::string& password,
                                   std::string* credential);
  static std::string MakeDigestHash(const std::string& a, const std::string& b);
  std::string MakeDigestAuthorization(int method, const std::string& uri) const;
  // The SETUP URL for a control attribute: an absolute one as it is, a
  // relative one against the Content-Base or, without one, appended to the
  // request URL.
  static std::string ResolveControlUrl(const std::string& baseUrl, bool pathEmpty,
                                       const std::string& contentBase, const std::string& control);

 protected:
  // One whole reply: the header block and, where Content-Length names one,
  // the body; bounded by kMaxReplySize and receiveTimeoutMs, and cut short
  // by the stop event except for a TEARDOWN, which is given a second at
  // most. False when the reply did not arrive whole.
  bool ReceiveReply(std::string* reply, bool teardown = false);

  RTSP_SESSION_INFO info_;
  CRTSPResponseParser parser_;
  platform::SocketHandle socket_ = 0;
  bool connected_ = false;
  bool refused_ = false;  // the last SendRequest ended on a 401 left standing

 private:
  void CloseSocket();
  bool FailConnect(RTSPFailure failure);
  // After a connect that did not complete at once: waits for it in stop-poll
  // slices up to the connect time-out. False, with the socket closed and the
  // failure noted, when it does not complete.
  bool AwaitConnection();
  void NoteFailedReply(const std::string& reply, bool whole);
  bool StopSignalled() const;
  // Bytes that arrived after the end of the last reply.
  std::string pending_;
  bool socketsStarted_ = false;
  RTSPFailure failure_ = kRtspFailNone;
  std::string failedStatus_;
  int connectError_ = 0;
  platform::Event stopEvent_ = nullptr;
};

}  // namespace quenlix
