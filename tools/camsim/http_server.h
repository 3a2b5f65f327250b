// The camera's HTTP CGI on a loopback port, plus the simulator's control
// endpoints under /camsim/ (never authenticated):
//   GET /camsim/requests[?contains=TEXT]  recorded CGI request targets, one a line
//   GET /camsim/requests/clear            empties the log
//   GET /camsim/fault[?set=MODE]          shows or sets the fault (see ParseFault)
//   GET /camsim/stats                     "endless_bytes N": body sent by "endless"
//   /camsim/input, /camsim/inputs, /camsim/outputs, /camsim/io  digital I/O (see io_sim.h)
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "camsim.h"
#include "http_auth.h"
#include "io_sim.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace camsim {

class CHttpServer {
 public:
  explicit CHttpServer(Camsim& core);
  ~CHttpServer();
  CHttpServer(const CHttpServer&) = delete;
  CHttpServer& operator=(const CHttpServer&) = delete;

  // Binds and starts serving; returns the bound port, or 0 on failure.
  uint16_t Start();
  void Stop();
  uint16_t Port() const { return port_; }
  CIoSim& Io() { return io_; }

 private:
  void Routes();
  void ControlRoutes();
  // False, with the 401 and its challenge in res, when the request's
  // credentials do not hold.
  bool Authorize(const httplib::Request& req, httplib::Response& res);
  // True when the fault in force has answered the request.
  bool AnswerWithFault(httplib::Response& res);
  void AnswerCgi(const httplib::Request& req, httplib::Response& res);

  Camsim& core_;
  CHttpAuth auth_;
  CIoSim io_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  uint16_t port_ = 0;
};

}  // namespace camsim
