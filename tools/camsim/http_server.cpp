#include "http_server.h"

#include <httplib.h>

#include <sys/socket.h>

#include <chrono>
#include <sstream>

namespace camsim {

namespace {

constexpr const char* kRealm = "camsim";
constexpr const char* kCgiPrefix = "/siqura-cgi/";
constexpr const char* kParamPath = "/siqura-cgi/admin/param.cgi";
// Held requests ("noanswer") and idle kept-alive connections each keep a
// thread; a load run opens one connection per stream at once.
constexpr size_t kThreads = 128;
constexpr time_t kKeepAliveSeconds = 1;
constexpr uint32_t kMaxHoldMs = 10 * 60 * 1000;
constexpr size_t kEndlessChunk = 64 * 1024;

std::string Query(const httplib::Request& req) {
  const size_t q = req.target.find('?');
  return q == std::string::npos ? std::string() : req.target.substr(q + 1);
}

}  // namespace

CHttpServer::CHttpServer(Camsim& core)
    : core_(core),
      auth_(kRealm, core.Options().user, core.Options().password),
      io_(core),
      server_(new httplib::Server) {
  server_->new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
  // A client that reads a long body slowly (a sanitizer build) is still a
  // client; do not drop it after the library's 5 s default.
  server_->set_write_timeout(60, 0);
  // Clients keep their connection after a one-off request; left at the
  // library's 5 s, a few hundred streams starting at once wait in the queue
  // for threads that serve nobody.
  server_->set_keep_alive_timeout(kKeepAliveSeconds);
  // SO_REUSEADDR only: the library's default SO_REUSEPORT lets a second
  // simulator share a busy port and take half of the first one's clients.
  server_->set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<void*>(&yes), sizeof(yes));
  });
  Routes();
}

CHttpServer::~CHttpServer() { Stop(); }

uint16_t CHttpServer::Start() {
  const CamsimOptions& o = core_.Options();
  int port = o.httpPort == 0 ? server_->bind_to_any_port(o.bindAddress)
                             : (server_->bind_to_port(o.bindAddress, o.httpPort) ? o.httpPort : -1);
  if (port <= 0) return 0;
  port_ = uint16_t(port);
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  for (int i = 0; i < 5000 && !server_->is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return port_;
}

void CHttpServer::Stop() {
  core_.Stop();
  if (server_) server_->stop();
  if (thread_.joinable()) thread_.join();
}

void CHttpServer::Routes() {
  io_.RegisterControl(*server_);
  ControlRoutes();
  server_->Get(R"(/siqura-cgi/.*)", [this](const httplib::Request& req, httplib::Response& res) {
    if (!Authorize(req, res)) return;
    core_.RecordRequest(req.target);
    if (AnswerWithFault(res)) return;
    AnswerCgi(req, res);
  });
}

// The simulator's own pages: what it was asked, and the fault it plays.
void CHttpServer::ControlRoutes() {
  server_->Get("/camsim/requests", [this](const httplib::Request& req, httplib::Response& res) {
    const std::string filter = req.has_param("contains") ? req.get_param_value("contains") : "";
    std::string out;
    for (const std::string& r : core_.Requests()) {
      if (filter.empty() || r.find(filter) != std::string::npos) out += r + "\n";
    }
    res.set_content(out, "text/plain");
  });
  server_->Get("/camsim/stats", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content("endless_bytes " + std::to_string(core_.EndlessBytes()) + "\n", "text/plain");
  });
  server_->Get("/camsim/requests/clear", [this](const httplib::Request&, httplib::Response& res) {
    core_.ClearRequests();
    res.set_content("ok\n", "text/plain");
  });
  server_->Get("/camsim/fault", [this](const httplib::Request& req, httplib::Response& res) {
    FaultState fault = core_.Fault();
    if (req.has_param("set")) {
      if (!ParseFault(req.get_param_value("set"), &fault)) {
        res.status = 400;
        res.set_content("bad fault\n", "text/plain");
        return;
      }
      core_.SetFault(fault);
    }
    res.set_content(FaultText(fault) + "\n", "text/plain");
  });
}

bool CHttpServer::Authorize(const httplib::Request& req, httplib::Response& res) {
  const AuthMode mode = core_.Options().auth;
  const std::string authorization = req.get_header_value("Authorization");
  if (mode == AuthMode::kBasic && !auth_.CheckBasic(authorization)) {
    res.status = 401;
    res.set_header("WWW-Authenticate", auth_.BasicChallenge());
    return false;
  }
  if (mode == AuthMode::kDigest &&
      !auth_.CheckDigest(req.method, req.target, httplib::detail::decode_url(req.target, false),
                         authorization)) {
    res.status = 401;
    res.set_header("WWW-Authenticate", auth_.DigestChallenge());
    return false;
  }
  return true;
}

bool CHttpServer::AnswerWithFault(httplib::Response& res) {
  const FaultState fault = core_.Fault();
  switch (fault.mode) {
    case FaultMode::kStatus:
      res.status = fault.status;
      return true;
    case FaultMode::kEmpty:
      res.status = 200;
      return true;
    case FaultMode::kSlow:
      std::this_thread::sleep_for(std::chrono::milliseconds(fault.delayMs));
      return false;
    case FaultMode::kNoAnswer:
      core_.WaitWhileNoAnswer(kMaxHoldMs);
      // Released by a fault change or by the end of the simulator: the
      // held request gets no answer at all.
      res.set_chunked_content_provider("text/plain",
                                       [](size_t, httplib::DataSink&) { return false; });
      return true;
    case FaultMode::kClose:
      res.set_chunked_content_provider("text/plain",
                                       [](size_t, httplib::DataSink&) { return false; });
      return true;
    case FaultMode::kEndless:
      res.set_chunked_content_provider("text/plain", [this](size_t, httplib::DataSink& sink) {
        if (core_.Stopping()) return false;
        static const std::string kChunk(kEndlessChunk, 'x');
        if (!sink.write(kChunk.data(), kChunk.size())) return false;
        core_.AddEndlessBytes(kChunk.size());
        return true;
      });
      return true;
    case FaultMode::kNone:
      return false;
  }
  return false;
}

void CHttpServer::AnswerCgi(const httplib::Request& req, httplib::Response& res) {
  if (io_.HandleCgi(req, res)) return;
  if (req.path == kParamPath && Query(req) == "action=list") {
    res.set_content(core_.ParameterList(), "text/plain");
  } else if (req.path == kParamPath && Query(req).rfind("action=update", 0) == 0) {
    res.set_content("OK\r\n", "text/plain");
  } else {
    res.status = 404;
  }
}

}  // namespace camsim
