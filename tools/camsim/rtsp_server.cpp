#include "rtsp_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <random>
#include <sstream>

namespace camsim {
namespace {

constexpr int kPollMs = 100;
constexpr size_t kMaxRequest = 16384;
constexpr size_t kSplitAt = 60;  // first segment of a split reply, inside the headers
constexpr size_t kMaxEnded = 64;
constexpr size_t kMaxLogged = 10000;  // requests and keep-alive times kept for inspection
constexpr const char* kServerLine = "Server: Siqura RTSPServer/1.0\r\n";
constexpr char kInterleavedMagic = '$';
constexpr size_t kInterleavedHeaderSize = 4;  // '$', channel, 16-bit length
constexpr unsigned kMaxChannel = 255;

std::string Lower(std::string text) {
  for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Trim(const std::string& text) {
  const size_t b = text.find_first_not_of(" \t");
  if (b == std::string::npos) return std::string();
  const size_t e = text.find_last_not_of(" \t\r\n");
  return text.substr(b, e - b + 1);
}

bool SendAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    const ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    length -= size_t(n);
  }
  return true;
}

std::string StatusText(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 404:
      return "Not Found";
    case 454:
      return "Session Not Found";
    case 461:
      return "Unsupported Transport";
    case 501:
      return "Not Implemented";
    default:
      return "Error";
  }
}

std::string Md5Hex(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr);
  std::string hex;
  char digits[3];
  for (unsigned i = 0; i < length; ++i) {
    std::snprintf(digits, sizeof digits, "%02x", digest[i]);
    hex += digits;
  }
  return hex;
}

// name=value and name="quoted value" pairs after the scheme word.
std::map<std::string, std::string> AuthParams(const std::string& header) {
  std::map<std::string, std::string> params;
  size_t i = header.find(' ');
  while (i != std::string::npos && i < header.size()) {
    while (i < header.size() && (header[i] == ' ' || header[i] == ',')) ++i;
    const size_t eq = header.find('=', i);
    if (eq == std::string::npos) break;
    const std::string name = Lower(Trim(header.substr(i, eq - i)));
    i = eq + 1;
    std::string value;
    if (i < header.size() && header[i] == '"') {
      for (++i; i < header.size() && header[i] != '"'; ++i) value += header[i];
      ++i;
    } else {
      while (i < header.size() && header[i] != ',') value += header[i++];
      value = Trim(value);
    }
    params[name] = value;
  }
  return params;
}

// True when the first transport offered is RTP over the RTSP connection;
// its channel pair, or 0-1 when the client leaves the choice to us.
bool AsksForTcp(const std::string& transport, unsigned* rtp, unsigned* rtcp) {
  const std::string first = transport.substr(0, transport.find(','));
  if (first.find("RTP/AVP/TCP") == std::string::npos) return false;
  *rtp = 0;
  *rtcp = 1;
  const size_t at = first.find("interleaved=");
  if (at == std::string::npos) return true;
  const int n = std::sscanf(first.c_str() + at, "interleaved=%u-%u", rtp, rtcp);
  if (n == 1) *rtcp = *rtp + 1;
  if (n < 1 || *rtp > kMaxChannel || *rtcp > kMaxChannel) {
    *rtp = 0;
    *rtcp = 1;
  }
  return true;
}

}  // namespace

std::string CRtspServer::Request::Header(const char* name) const {
  const auto it = headers.find(name);
  return it == headers.end() ? std::string() : it->second;
}

CRtspServer::CRtspServer(RtspOptions options)
    : options_(std::move(options)), faults_(options_.faults) {}

CRtspServer::~CRtspServer() { Stop(); }

bool CRtspServer::Start(std::string* error) {
  const bool chooses = static_cast<bool>(options_.clipFor);
  if ((!chooses || !options_.clipPath.empty()) &&
      !LoadClip(options_.clipPath, options_.mtu, &clip_, error)) {
    return false;
  }
  ApplyPeerHabits(options_.habits, &clip_);
  listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
  const int one = 1;
  ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = ::inet_addr(options_.bindAddress.c_str());
  local.sin_port = htons(options_.port);
  // A load run opens hundreds of sessions at once; a short backlog drops
  // their connection attempts and spreads the session starts over seconds.
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      ::listen(listener_, SOMAXCONN) != 0) {
    *error =
        "cannot listen for RTSP on " + options_.bindAddress + ":" + std::to_string(options_.port);
    ::close(listener_);
    listener_ = -1;
    return false;
  }
  socklen_t length = sizeof local;
  ::getsockname(listener_, reinterpret_cast<sockaddr*>(&local), &length);
  port_ = ntohs(local.sin_port);
  running_ = true;
  acceptor_ = std::thread([this] { AcceptLoop(); });
  supervisor_ = std::thread([this] { SuperviseLoop(); });
  return true;
}

void CRtspServer::Stop() {
  if (!running_.exchange(false)) return;
  acceptor_.join();
  supervisor_.join();
  std::map<uint64_t, std::thread> connections;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int fd : connectionFds_) ::shutdown(fd, SHUT_RDWR);
    connections.swap(connections_);
    finished_.clear();
  }
  for (auto& entry : connections) entry.second.join();
  std::lock_guard<std::mutex> lock(mutex_);
  sessions_.clear();
  ended_.clear();
  ::close(listener_);
  listener_ = -1;
}

void CRtspServer::SetFaults(const RtspFaults& faults) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_ = faults;
}

void CRtspServer::RestartCamera() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& entry : sessions_) entry.second->streamer->Restart();
}

RtspStats CRtspServer::Stats() const {
  std::lock_guard<std::mutex> lock(mutex_);
  RtspStats stats = stats_;
  stats.receiverReports += retired_.receiverReports;
  stats.byes += retired_.byes;
  stats.packetsSent += retired_.packetsSent;
  stats.framesSent += retired_.framesSent;
  auto add = [&stats](const Session& s) {
    stats.receiverReports += s.streamer->ReceiverReports();
    stats.byes += s.streamer->Byes();
    stats.packetsSent += s.streamer->PacketsSent();
    stats.framesSent += s.streamer->FramesSent();
  };
  for (const auto& entry : sessions_) add(*entry.second);
  for (const auto& s : ended_) add(*s);
  return stats;
}

std::vector<std::string> CRtspServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::vector<uint64_t> CRtspServer::KeepAliveTimesMs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return keepAliveTimes_;
}

void CRtspServer::AcceptLoop() {
  while (running_) {
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, kPollMs) <= 0) continue;
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int fd = ::accept(listener_, reinterpret_cast<sockaddr*>(&peer), &length);
    if (fd < 0) continue;
    const std::string address = ::inet_ntoa(peer.sin_addr);
    JoinFinished();
    std::lock_guard<std::mutex> lock(mutex_);
    connectionFds_.push_back(fd);
    const uint64_t number = ++connectionCounter_;
    connections_[number] = std::thread([this, fd, address, number] {
      Serve(fd, address);
      std::lock_guard<std::mutex> done(mutex_);
      finished_.push_back(number);
    });
  }
}

void CRtspServer::JoinFinished() {
  std::vector<std::thread> ended;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (uint64_t number : finished_) {
      const auto it = connections_.find(number);
      if (it == connections_.end()) continue;
      ended.push_back(std::move(it->second));
      connections_.erase(it);
    }
    finished_.clear();
  }
  for (std::thread& t : ended) t.join();
}

void CRtspServer::SuperviseLoop() {
  const uint64_t timeoutMs = uint64_t(options_.sessionTimeout) * 1000;
  while (running_) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    const uint64_t now = CRtpStreamer::NowMs();
    std::vector<std::string> expired;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (const auto& entry : sessions_) {
        const Session& s = *entry.second;
        if (!s.playing) continue;
        const uint64_t lastReport = s.streamer->LastReceiverReportMs();
        const uint64_t alive = std::max(s.lastAliveMs, lastReport);
        // Read before the lock, now may be older than a keep-alive that
        // came in meanwhile: that session is alive, not ages silent.
        if (alive >= now || now - alive <= timeoutMs) continue;
        expired.push_back(s.id);
        std::fprintf(stderr,
                     "camsim: session %s dropped: %llu ms without a request or receiver report\n",
                     s.id.c_str(), static_cast<unsigned long long>(now - alive));
      }
    }
    for (const std::string& id : expired) EndSession(id, true);
  }
}

void CRtspServer::EndSession(const std::string& id, bool dropped) {
  std::unique_ptr<Session> session;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = sessions_.find(id);
    if (it == sessions_.end()) return;
    session = std::move(it->second);
    sessions_.erase(it);
    if (dropped)
      ++stats_.dropped;
    else
      ++stats_.teardowns;
  }
  session->streamer->StopSending();
  std::lock_guard<std::mutex> lock(mutex_);
  ended_.push_back(std::move(session));
  if (ended_.size() > kMaxEnded) {
    const Session& oldest = *ended_.front();
    retired_.receiverReports += oldest.streamer->ReceiverReports();
    retired_.byes += oldest.streamer->Byes();
    retired_.packetsSent += oldest.streamer->PacketsSent();
    retired_.framesSent += oldest.streamer->FramesSent();
    ended_.erase(ended_.begin());
  }
}

CRtspServer::Request CRtspServer::ReadRequest(const std::string& head) {
  Request request;
  std::istringstream lines(head);
  std::string line;
  std::getline(lines, line);
  std::istringstream first(line);
  first >> request.method >> request.uri;
  while (std::getline(lines, line)) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    request.headers[Lower(Trim(line.substr(0, colon)))] = Trim(line.substr(colon + 1));
  }
  return request;
}

void CRtspServer::Serve(int fd, std::string peerAddress) {
  auto link = std::make_shared<InterleavedLink>();
  link->fd = fd;
  std::string buffer;
  // 1: more bytes in buffer, 0: nothing yet, -1: the connection is gone.
  auto readMore = [fd, &buffer]() {
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, kPollMs);
    if (ready == 0) return 0;
    char chunk[2048];
    const ssize_t n = ready > 0 ? ::recv(fd, chunk, sizeof chunk, 0) : -1;
    if (n <= 0) return -1;
    buffer.append(chunk, size_t(n));
    return 1;
  };
  bool open = true;
  while (open && running_) {
    // A client on TCP sends its RTCP framed between its requests.
    if (!buffer.empty() && buffer[0] == kInterleavedMagic) {
      if (buffer.size() >= kInterleavedHeaderSize) {
        const size_t length = size_t(uint8_t(buffer[2])) << 8 | uint8_t(buffer[3]);
        if (buffer.size() >= kInterleavedHeaderSize + length) {
          OnInterleaved(*link, uint8_t(buffer[1]),
                        reinterpret_cast<const uint8_t*>(buffer.data()) + kInterleavedHeaderSize,
                        length);
          buffer.erase(0, kInterleavedHeaderSize + length);
          continue;
        }
      }
      if (readMore() < 0) break;
      continue;
    }
    const size_t end = buffer.find("\r\n\r\n");
    if (end == std::string::npos) {
      if (buffer.size() > kMaxRequest) break;
      if (readMore() < 0) break;
      continue;
    }
    const std::string head = buffer.substr(0, end + 2);
    buffer.erase(0, end + 4);
    const Request request = ReadRequest(head);
    const size_t bodyLength = size_t(std::atol(request.Header("content-length").c_str()));
    if (bodyLength <= buffer.size()) buffer.erase(0, bodyLength);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (requests_.size() >= kMaxLogged) requests_.erase(requests_.begin());
      requests_.push_back(head + "\r\n");
    }
    open = Answer(link, peerAddress, request);
  }
  ::shutdown(fd, SHUT_RDWR);
  // The streamers writing on this connection stop before its descriptor goes.
  EndSessionsOn(*link);
  std::lock_guard<std::mutex> lock(mutex_);
  connectionFds_.erase(std::remove(connectionFds_.begin(), connectionFds_.end(), fd),
                       connectionFds_.end());
  ::close(fd);
}

void CRtspServer::OnInterleaved(const InterleavedLink& link, uint8_t channel, const uint8_t* data,
                                size_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& entry : sessions_) {
    const Session& s = *entry.second;
    if (s.link.get() == &link && s.rtcpChannel == channel) s.streamer->OnRtcp(data, size);
  }
}

void CRtspServer::EndSessionsOn(const InterleavedLink& link) {
  std::vector<std::string> ids;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : sessions_) {
      if (entry.second->link.get() == &link) ids.push_back(entry.first);
    }
  }
  for (const std::string& id : ids) EndSession(id, false);
}

bool CRtspServer::SendReply(InterleavedLink& link, const std::string& text) {
  RtspFaults faults;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    faults = faults_;
  }
  // Held for the whole reply: RTP on this connection waits until it is out.
  std::lock_guard<std::mutex> write(link.writeMutex);
  if (link.broken) return false;
  const int fd = link.fd;
  if (faults.closeMidReply) {
    SendAll(fd, text.data(), text.size() / 2);
    return false;
  }
  if (faults.splitPauseMs > 0 && text.size() > kSplitAt) {
    if (!SendAll(fd, text.data(), kSplitAt)) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(faults.splitPauseMs));
    return SendAll(fd, text.data() + kSplitAt, text.size() - kSplitAt);
  }
  return SendAll(fd, text.data(), text.size());
}

std::string CRtspServer::Challenge() {
  if (options_.auth != AuthMode::kDigest)
    return "WWW-Authenticate: Basic realm=\"" + options_.realm + "\"\r\n";
  unsigned char raw[16];
  RAND_bytes(raw, sizeof raw);
  std::string nonce;
  char digits[3];
  for (unsigned char c : raw) {
    std::snprintf(digits, sizeof digits, "%02x", c);
    nonce += digits;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    nonces_.insert(nonce);
  }
  return "WWW-Authenticate: Digest realm=\"" + options_.realm + "\", nonce=\"" + nonce + "\"\r\n";
}

bool CRtspServer::Authorized(const Request& request) {
  const std::string authorization = request.Header("authorization");
  if (options_.auth == AuthMode::kNone) return true;
  if (options_.auth == AuthMode::kBasic) {
    const Bytes text(reinterpret_cast<const uint8_t*>(options_.user.data()),
                     reinterpret_cast<const uint8_t*>(options_.user.data()) + options_.user.size());
    Bytes credential = text;
    credential.push_back(':');
    credential.insert(credential.end(), options_.password.begin(), options_.password.end());
    return Lower(authorization.substr(0, 6)) == "basic " &&
           Trim(authorization.substr(6)) == Base64(credential);
  }
  if (Lower(authorization.substr(0, 7)) != "digest ") return false;
  auto p = AuthParams(authorization);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (nonces_.count(p["nonce"]) == 0) return false;
  }
  // A strict camera: the digest must cover the URI of the request line.
  if (p["username"] != options_.user || p["realm"] != options_.realm || p["uri"] != request.uri)
    return false;
  const std::string ha1 = Md5Hex(options_.user + ":" + options_.realm + ":" + options_.password);
  const std::string ha2 = Md5Hex(request.method + ":" + request.uri);
  return p["response"] == Md5Hex(ha1 + ":" + p["nonce"] + ":" + ha2);
}

const Clip* CRtspServer::ClipFor(const std::string& uri) {
  const Clip* fallback = clip_.frames.empty() ? nullptr : &clip_;
  if (!options_.clipFor) return fallback;
  const std::string path = options_.clipFor(uri);
  if (path.empty()) return fallback;
  std::lock_guard<std::mutex> lock(clipsMutex_);
  auto it = clips_.find(path);
  if (it == clips_.end()) {
    auto clip = std::make_unique<Clip>();
    std::string error;
    if (!LoadClip(path, options_.mtu, clip.get(), &error)) return fallback;
    ApplyPeerHabits(options_.habits, clip.get());
    it = clips_.emplace(path, std::move(clip)).first;
  }
  return it->second.get();
}

std::string CRtspServer::ContentBase(const std::string& uri) const {
  if (options_.contentBasePath.empty()) return uri + "/";
  return "rtsp://" + options_.bindAddress + ":" + std::to_string(port_) + options_.contentBasePath;
}

std::string CRtspServer::TrackUrl(const std::string& uri) const {
  if (options_.absoluteControl) return uri + "/trackID=1";
  if (!options_.contentBasePath.empty()) return ContentBase(uri) + "trackID=1";
  return std::string();
}

std::string CRtspServer::Sdp(const Clip& clip, const std::string& uri) const {
  const std::string control =
      "a=control:" + (options_.absoluteControl ? TrackUrl(uri) : std::string("trackID=1")) + "\r\n";
  const std::string media = "m=video 0 RTP/AVP " + std::to_string(clip.payloadType) + "\r\n";
  const std::string session =
      "v=0\r\n"
      "o=- 1 1 IN IP4 " +
      options_.bindAddress +
      "\r\n"
      "s=camsim\r\n"
      "c=IN IP4 0.0.0.0\r\n"
      "t=0 0\r\n"
      "a=control:*\r\n";
  if (options_.habits.peerSdpOrder) return session + media + control + clip.sdpAttributes;
  return session + media + clip.sdpAttributes + control;
}

std::string CRtspServer::SessionHeader(const Session& session) const {
  return "Session: " + session.id + ";timeout=" + std::to_string(options_.sessionTimeout) + "\r\n";
}

bool CRtspServer::Reply(const Exchange& exchange, int status, const std::string& headers,
                        const std::string& body) {
  std::string text = "RTSP/1.0 " + std::to_string(status) + " " + StatusText(status) +
                     "\r\nCSeq: " + exchange.request.Header("cseq") + "\r\n" + kServerLine +
                     headers;
  if (!body.empty()) text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  return SendReply(*exchange.link, text + "\r\n" + body);
}

bool CRtspServer::Answer(const std::shared_ptr<InterleavedLink>& link,
                         const std::string& peerAddress, const Request& request) {
  Exchange exchange{link, peerAddress, request, RtspFaults(), std::string()};
  {
    std::lock_guard<std::mutex> lock(mutex_);
    exchange.faults = faults_;
  }
  if (exchange.faults.always401 || !Authorized(request)) {
    return Reply(exchange, 401, Challenge());
  }
  const std::string session = request.Header("session");
  exchange.sessionId = Trim(session.substr(0, session.find(';')));
  if (!exchange.sessionId.empty() && exchange.faults.answer454) return Reply(exchange, 454, "");

  const std::string& m = request.method;
  if (m == "DESCRIBE") return AnswerDescribe(exchange);
  if (m == "SETUP") return AnswerSetup(exchange);
  SessionView view;
  // Answered after the lock is released: sending a reply takes it too.
  if (!TouchSession(exchange.sessionId, m, &view)) return Reply(exchange, 454, "");
  if (m == "OPTIONS" || m == "GET_PARAMETER") return AnswerOptions(exchange, view);
  if (m == "PLAY") return AnswerPlay(exchange, view);
  if (m == "TEARDOWN") return AnswerTeardown(exchange);
  return Reply(exchange, 501, "");
}

bool CRtspServer::AnswerDescribe(const Exchange& exchange) {
  const Request& request = exchange.request;
  const Clip* clip = ClipFor(request.uri);
  if (clip == nullptr) return Reply(exchange, 404, "");
  return Reply(
      exchange, 200,
      "Content-Base: " + ContentBase(request.uri) + "\r\nContent-Type: application/sdp\r\n",
      Sdp(*clip, request.uri));
}

// False when the Transport header offers neither interleaved TCP nor a
// usable UDP client port pair.
bool CRtspServer::ReadTransport(const std::string& transport, SetupTransport* out) {
  out->tcp = AsksForTcp(transport, &out->rtp, &out->rtcp);
  if (out->tcp) return true;
  const size_t at = transport.find("client_port=");
  return at != std::string::npos &&
         std::sscanf(transport.c_str() + at, "client_port=%u-%u", &out->rtp, &out->rtcp) == 2 &&
         out->rtp != 0 && out->rtp <= 65535 && out->rtcp != 0 && out->rtcp <= 65535;
}

bool CRtspServer::AnswerSetup(const Exchange& exchange) {
  const Request& request = exchange.request;
  SetupTransport transport;
  if (!ReadTransport(request.Header("transport"), &transport)) return Reply(exchange, 461, "");
  // The track's URL as the description named it: the request URL of the
  // DESCRIBE is this one without the track.
  const size_t track = request.uri.rfind("/trackID=1");
  const std::string describedUri =
      track == std::string::npos ? request.uri : request.uri.substr(0, track);
  const std::string expected = TrackUrl(describedUri);
  if (!expected.empty() && request.uri != expected) return Reply(exchange, 404, "");
  const Clip* clip = ClipFor(request.uri);
  if (clip == nullptr) return Reply(exchange, 404, "");
  auto session = std::make_unique<Session>();
  session->streamer =
      std::make_unique<CRtpStreamer>(*clip, options_.framesPerSecond, exchange.faults.stream);
  if (!transport.tcp && !session->streamer->Open(options_.bindAddress)) {
    return Reply(exchange, 500, "");
  }
  const std::string headers = BindTransport(exchange, transport, session.get());
  session->lastAliveMs = CRtpStreamer::NowMs();
  return Reply(exchange, 200, headers + AddSession(std::move(session)));
}

// Ties the session's media to the transport asked for; the reply's
// Transport header.
std::string CRtspServer::BindTransport(const Exchange& exchange, const SetupTransport& transport,
                                       Session* session) {
  char ssrc[9];
  std::snprintf(ssrc, sizeof ssrc, "%08X", unsigned(session->streamer->Ssrc()));
  const std::string pair = std::to_string(transport.rtp) + "-" + std::to_string(transport.rtcp);
  if (transport.tcp) {
    session->link = exchange.link;
    session->rtpChannel = uint8_t(transport.rtp);
    session->rtcpChannel = uint8_t(transport.rtcp);
    return "Transport: RTP/AVP/TCP;unicast;interleaved=" + pair + ";ssrc=" + ssrc + "\r\n";
  }
  session->clientRtpPort = uint16_t(transport.rtp);
  session->clientRtcpPort = uint16_t(transport.rtcp);
  return "Transport: RTP/AVP;unicast;client_port=" + pair +
         ";server_port=" + std::to_string(session->streamer->RtpPort()) + "-" +
         std::to_string(session->streamer->RtcpPort()) + ";ssrc=" + ssrc + "\r\n";
}

// Names and keeps a new session; its Session header.
std::string CRtspServer::AddSession(std::unique_ptr<Session> session) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Upper-case hex: the identifier must come back exactly as given.
  char id[16];
  std::snprintf(id, sizeof id, "%04X%04X", unsigned(std::random_device{}() & 0xFFFF),
                ++sessionCounter_);
  session->id = id;
  const std::string sessionLine = SessionHeader(*session);
  ++stats_.sessionsCreated;
  sessions_[session->id] = std::move(session);
  return sessionLine;
}

bool CRtspServer::TouchSession(const std::string& id, const std::string& method,
                               SessionView* view) {
  if (id.empty()) return true;
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = sessions_.find(id);
  if (it == sessions_.end()) return false;
  Session& s = *it->second;
  s.lastAliveMs = CRtpStreamer::NowMs();
  view->sessionLine = SessionHeader(s);
  view->rtpPort = s.clientRtpPort;
  view->rtcpPort = s.clientRtcpPort;
  view->streamer = s.streamer.get();
  view->mediaLink = s.link;
  view->rtpChannel = s.rtpChannel;
  view->rtcpChannel = s.rtcpChannel;
  if (method == "PLAY") {
    s.playing = true;
    ++stats_.plays;
  }
  if (method == "OPTIONS" || method == "GET_PARAMETER") {
    ++stats_.keepAlives;
    if (keepAliveTimes_.size() >= kMaxLogged) keepAliveTimes_.erase(keepAliveTimes_.begin());
    keepAliveTimes_.push_back(s.lastAliveMs);
  }
  return true;
}

bool CRtspServer::AnswerOptions(const Exchange& exchange, const SessionView& view) {
  return Reply(
      exchange, 200,
      view.sessionLine + "Public: OPTIONS, DESCRIBE, SETUP, PLAY, TEARDOWN, GET_PARAMETER\r\n");
}

bool CRtspServer::AnswerPlay(const Exchange& exchange, const SessionView& view) {
  CRtpStreamer* streamer = view.streamer;
  if (streamer == nullptr) return Reply(exchange, 454, "");
  const uint16_t sequence = streamer->NextSequence();
  const uint32_t rtpTime = streamer->TimeBase();
  if (!view.mediaLink) streamer->Start(exchange.peerAddress, view.rtpPort, view.rtcpPort);
  const bool sent =
      Reply(exchange, 200,
            view.sessionLine + "Range: npt=0.000-\r\nRTP-Info: url=" + exchange.request.uri +
                "/trackID=1;seq=" + std::to_string(sequence) +
                ";rtptime=" + std::to_string(rtpTime) + "\r\n");
  // On TCP the first packet must not come before the reply it follows.
  if (sent && view.mediaLink) {
    streamer->StartInterleaved(view.mediaLink, view.rtpChannel, view.rtcpChannel);
  }
  return sent;
}

bool CRtspServer::AnswerTeardown(const Exchange& exchange) {
  if (!exchange.sessionId.empty()) EndSession(exchange.sessionId, false);
  return Reply(exchange, 200, "");
}

}  // namespace camsim
