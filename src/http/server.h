// The HTTP application: a small one-thread server over POSIX sockets, one request per
// connection, no keep-alive.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>

#include "http/request.h"
#include "http/response.h"
#include "http/router.h"

namespace nv {

class THTTPApplication {
 public:
  THTTPApplication() = default;
  THTTPApplication(const THTTPApplication&) = delete;
  THTTPApplication& operator=(const THTTPApplication&) = delete;

  uint16_t Port = 80;  // 0: any free port (see BoundPort)
  std::string Title;
  std::function<void(TResponse&, const std::exception&, bool& handled)> OnShowRequestException;
  THTTPRouter HTTPRouter;
  std::string BaseFolder;   // where relative file-location folders are taken from
  int IoTimeoutMs = 30000;  // reading one request, and each wait for write progress
  // Writing an answer may take IoTimeoutMs plus one second per this many bytes sent.
  long long WriteCreditBytesPerSecond = 64 * 1024;
  size_t MaxHeadBytes = 64 * 1024;
  long long MaxBodyBytes = 256LL * 1024 * 1024;

  // "/" + location + "/..." is served from the folder. Throws "Directory "%s" does not exist".
  void RegisterFileLocation(const std::string& location, const std::string& folder);
  void Initialize();
  // Blocks, answering one connection at a time, until Terminate(). When the port cannot be
  // opened it reports on stderr and returns.
  void Run();
  void Terminate() { terminated_ = true; }  // thread-safe; Run returns soon after
  // The port Run is listening on, 0 while it is not listening.
  uint16_t BoundPort() const { return bound_port_; }

  // Dispatch of a parsed request: route, handler, exception hook, final send (without the body
  // for HEAD).
  void HandleRequest(TRequest& req, TResponse& resp);

 private:
  void ServeConnection(int fd, const std::string& remote);
  void Report(const std::string& message) const;

  std::atomic<bool> terminated_{false};
  std::atomic<uint16_t> bound_port_{0};
};

extern THTTPApplication Application;  // the process's application object

}  // namespace nv
