#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "config/settings.h"

namespace larkspire {

// The local web configuration server: one listening socket and the thread that accepts on
// it; each connection is answered on a thread of its own. The owner assigns `settings`
// (only webBindAddress and webPort are used), calls Start, and later Stop, from its own
// thread. Stop (also called by the destructor) joins the accept thread.
class WebConfigServer {
 public:
  explicit WebConfigServer(std::string configPath);
  WebConfigServer(const WebConfigServer&) = delete;
  WebConfigServer& operator=(const WebConfigServer&) = delete;
  ~WebConfigServer();

  void Start();
  void Stop();

  Settings settings;

 private:
  std::string configPath_;
  std::atomic<bool> stopping_{false};
  int listenFd_ = -1;
  std::thread serverThread_;
};

}  // namespace larkspire
