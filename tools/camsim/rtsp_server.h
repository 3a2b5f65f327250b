// The simulator's RTSP 1.0 server: DESCRIBE with an SDP that carries the
// clip's parameter sets, SETUP with "Session: <id>;timeout=N", PLAY that
// starts an RTP streamer to the client's ports, or on the RTSP connection
// itself when SETUP asked for "RTP/AVP/TCP", OPTIONS and GET_PARAMETER as
// keep-alives, TEARDOWN. Like the cameras it stands in for, it drops a
// session that neither a request nor an RTCP receiver report has kept alive
// within its time-out. Basic or Digest is chosen at start.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "camsim.h"
#include "packetizer.h"
#include "rtp_streamer.h"

namespace camsim {

struct RtspFaults {
  uint32_t splitPauseMs = 0;   // >0: every reply goes in two TCP segments with this pause
  bool always401 = false;      // every request is refused with a challenge
  bool answer454 = false;      // every request that names a session gets 454
  bool closeMidReply = false;  // half a reply, then the connection is closed
  StreamFaults stream;         // for streams started from now on
};

struct RtspOptions {
  std::string bindAddress = "127.0.0.1";
  uint16_t port = 0;  // 0: any free port
  std::string clipPath;
  uint32_t framesPerSecond = 12;
  size_t mtu = 1400;
  AuthMode auth = AuthMode::kNone;
  std::string user = "admin";
  std::string password = "admin";
  std::string realm = "camsim RTSP Server";
  uint32_t sessionTimeout = 20;  // seconds
  RtspFaults faults;
  PeerHabits habits;
  // The SDP names the track by its absolute URL.
  bool absoluteControl = false;
  // When set, DESCRIBE answers with this Content-Base (a path on this
  // server) instead of the request URL. With either switch, a SETUP that
  // does not name the track exactly is refused with 404, as such servers do.
  std::string contentBasePath;
  // When set, each DESCRIBE and SETUP plays the clip file it names for the
  // request URI ("" or an unreadable file: clipPath's clip, if any).
  std::function<std::string(const std::string& uri)> clipFor;
};

struct RtspStats {
  uint64_t sessionsCreated = 0;
  uint64_t plays = 0;
  uint64_t keepAlives = 0;
  uint64_t teardowns = 0;
  uint64_t dropped = 0;  // sessions ended for want of keep-alives and reports
  uint64_t receiverReports = 0;
  uint64_t byes = 0;
  uint64_t packetsSent = 0;
  uint64_t framesSent = 0;
};

class CRtspServer {
 public:
  explicit CRtspServer(RtspOptions options);
  ~CRtspServer();
  CRtspServer(const CRtspServer&) = delete;
  CRtspServer& operator=(const CRtspServer&) = delete;

  // Loads the clip and listens; the port is Port() afterwards.
  bool Start(std::string* error);
  void Stop();
  uint16_t Port() const { return port_; }

  void SetFaults(const RtspFaults& faults);
  // As a rebooted camera: every running stream gets a new SSRC, sequence
  // and time base.
  void RestartCamera();

  RtspStats Stats() const;
  // Every request as received, in order.
  std::vector<std::string> Requests() const;
  // Monotonic milliseconds of each keep-alive request.
  std::vector<uint64_t> KeepAliveTimesMs() const;

 private:
  struct Session {
    std::string id;
    std::unique_ptr<CRtpStreamer> streamer;
    uint16_t clientRtpPort = 0;
    uint16_t clientRtcpPort = 0;
    // Set when the client asked for TCP: RTP and RTCP go on this connection.
    std::shared_ptr<InterleavedLink> link;
    uint8_t rtpChannel = 0;
    uint8_t rtcpChannel = 1;
    bool playing = false;
    uint64_t lastAliveMs = 0;
  };
  struct Request {
    std::string method;
    std::string uri;
    std::map<std::string, std::string> headers;  // names lower-cased
    std::string Header(const char* name) const;
  };

  void AcceptLoop();
  void SuperviseLoop();
  void Serve(int fd, std::string peerAddress);
  // The request line and headers of one request head.
  static Request ReadRequest(const std::string& head);
  void JoinFinished();
  // One request in hand: where its reply goes and what it is answered under.
  struct Exchange {
    std::shared_ptr<InterleavedLink> link;
    const std::string& peerAddress;
    const Request& request;
    RtspFaults faults;
    std::string sessionId;  // "" when the request names none
  };
  // What a request naming a session needs of it, copied under the lock.
  struct SessionView {
    std::string sessionLine;
    uint16_t rtpPort = 0;
    uint16_t rtcpPort = 0;
    CRtpStreamer* streamer = nullptr;
    std::shared_ptr<InterleavedLink> mediaLink;
    uint8_t rtpChannel = 0;
    uint8_t rtcpChannel = 0;
  };
  struct SetupTransport {
    bool tcp = false;
    unsigned rtp = 0;  // client port or interleaved channel
    unsigned rtcp = 0;
  };

  bool Answer(const std::shared_ptr<InterleavedLink>& link, const std::string& peerAddress,
              const Request& request);
  bool Reply(const Exchange& exchange, int status, const std::string& headers,
             const std::string& body = std::string());
  bool AnswerDescribe(const Exchange& exchange);
  bool AnswerSetup(const Exchange& exchange);
  bool AnswerOptions(const Exchange& exchange, const SessionView& view);
  bool AnswerPlay(const Exchange& exchange, const SessionView& view);
  bool AnswerTeardown(const Exchange& exchange);
  static bool ReadTransport(const std::string& transport, SetupTransport* out);
  std::string BindTransport(const Exchange& exchange, const SetupTransport& transport,
                            Session* session);
  std::string AddSession(std::unique_ptr<Session> session);
  // False when id names no session; an empty id leaves view empty. Counts the
  // play or keep-alive that the method stands for.
  bool TouchSession(const std::string& id, const std::string& method, SessionView* view);
  bool SendReply(InterleavedLink& link, const std::string& text);
  // A '$' frame from the client: RTCP for a session on this connection.
  void OnInterleaved(const InterleavedLink& link, uint8_t channel, const uint8_t* data,
                     size_t size);
  // Sessions whose media go on link end with its connection.
  void EndSessionsOn(const InterleavedLink& link);
  bool Authorized(const Request& request);
  std::string Challenge();
  std::string Sdp(const Clip& clip, const std::string& uri) const;
  std::string ContentBase(const std::string& uri) const;
  // The URL a SETUP must name; empty when any will do.
  std::string TrackUrl(const std::string& uri) const;
  // The clip for a request URI; null when there is none.
  const Clip* ClipFor(const std::string& uri);
  std::string SessionHeader(const Session& session) const;
  void EndSession(const std::string& id, bool dropped);

  RtspOptions options_;
  Clip clip_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> running_{false};
  std::thread acceptor_;
  std::thread supervisor_;

  mutable std::mutex mutex_;
  RtspFaults faults_;
  // Connection threads by number; those that ended are joined by the
  // acceptor, so that a long run does not pile them up.
  std::map<uint64_t, std::thread> connections_;
  std::vector<uint64_t> finished_;
  uint64_t connectionCounter_ = 0;
  std::vector<int> connectionFds_;
  std::map<std::string, std::unique_ptr<Session>> sessions_;
  std::vector<std::unique_ptr<Session>> ended_;  // kept so that late RTCP is still counted
  RtspStats stats_;
  RtspStats retired_;  // the counts of ended sessions no longer kept
  std::vector<std::string> requests_;
  std::vector<uint64_t> keepAliveTimes_;
  uint32_t sessionCounter_ = 0;
  std::set<std::string> nonces_;
  // Clips chosen through clipFor, by file; streamers keep references.
  std::mutex clipsMutex_;
  std::map<std::string, std::unique_ptr<Clip>> clips_;
};

}  // namespace camsim
