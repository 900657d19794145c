// The HTTP application run in a thread of the test process, on a port the system picks.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <thread>

#include "http/server.h"

namespace nv::test {

// Runs app.Run() in a thread on a port the system picks; stops it when destroyed.
class RunningServer {
 public:
  explicit RunningServer(THTTPApplication& app) : app_(app) {
    app_.Port = 0;
    thread_ = std::thread([this] { app_.Run(); });
    for (int i = 0; i < 500 && app_.BoundPort() == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    port_ = app_.BoundPort();
    EXPECT_NE(port_, 0);
  }
  ~RunningServer() {
    app_.Terminate();
    thread_.join();
  }
  uint16_t port() const { return port_; }

 private:
  THTTPApplication& app_;
  std::thread thread_;
  uint16_t port_ = 0;
};

}  // namespace nv::test
