#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "config/settings.h"
#include "config/state_file.h"
#include "netcfg/health.h"
#include "netcfg/interfaces.h"

namespace larkspire {

struct WebRequest;

// The local web configuration server: one listening socket, the thread that accepts on it,
// and one detached thread per connection (at most kMaxConnections at once), each answering
// one request. The owner assigns `settings` (only webBindAddress and webPort are used) and
// the seams below, calls Start, and later Stop, from its own thread. Stop (also called by
// the destructor) joins the accept thread and waits until every connection thread is done.
class WebConfigServer {
 public:
  static constexpr size_t kMaxConnections = 64;
  // How long one client may take to send its whole request. Each read also has a 5 s
  // time-out, but a client that trickles a byte every few seconds would otherwise hold one
  // of the kMaxConnections slots for as long as it likes.
  static constexpr std::chrono::milliseconds kRequestDeadline{15000};

  explicit WebConfigServer(std::string configPath);
  WebConfigServer(const WebConfigServer&) = delete;
  WebConfigServer& operator=(const WebConfigServer&) = delete;
  ~WebConfigServer();

  void Start();
  void Stop();

  // The port actually listened on (useful when webPort is 0); 0 until listening.
  int BoundPort() const { return boundPort_.load(); }

  Settings settings;

  // Where the status and log views look, and how interfaces are found. Tests replace them;
  // they must not change after Start.
  std::string statePath = kStateFilePath;
  std::function<std::string()> logPath;
  std::function<std::vector<InterfaceNetwork>()> detectInterfaces;
  std::function<GatewayHealth()> checkGatewayHealth;
  std::chrono::milliseconds requestDeadline = kRequestDeadline;

 private:
  void Serve();
  int OpenListeningSocket();
  void AcceptLoop(int listenFd);
  void Admit(int fd);
  void HandleClient(int fd);
  void FinishConnection(int fd);
  void Route(int fd, const WebRequest& request);
  bool IsAuthenticated(const WebRequest& request) const;

  // API handlers; each writes exactly one reply.
  void HandleLogin(int fd, const std::string& body);
  void HandleStatus(int fd);
  void HandleLogs(int fd, const std::string& target);
  void HandleSaveConfig(int fd, const std::string& body);
  void HandlePassword(int fd, const std::string& body);
  void HandleTest(int fd, const std::string& body);
  void HandleRestart(int fd);
  void HandleHealth(int fd);
  void HandleMetrics(int fd);

  std::string configPath_;
  std::atomic<bool> stopping_{false};
  std::mutex listenMutex_;
  int listenFd_ = -1;  // guarded by listenMutex_
  std::thread serverThread_;
  std::atomic<int> boundPort_{0};

  std::mutex connectionsMutex_;
  std::condition_variable connectionsDone_;
  std::set<int> connections_;  // sockets of running connection threads
};

// Writes one complete response with MSG_NOSIGNAL; a failed write is dropped silently.
void SendRaw(int fd, int status, const std::string& contentType, const std::string& body,
             const std::string& extraHeaders);
// SendRaw with "application/json; charset=utf-8".
void SendJson(int fd, int status, const std::string& body, const std::string& extraHeaders = "");

}  // namespace larkspire
