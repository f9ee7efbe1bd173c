#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config/settings.h"
#include "config/state_file.h"
#include "netcfg/health.h"
#include "netcfg/interfaces.h"
#include "util/fd.h"
#include "web/http_event_loop.h"
#include "web/log_limiter.h"
#include "web/login_throttle.h"
#include "web/session_store.h"

namespace larkspire {

// The local web configuration server: one thread runs the connections (HttpEventLoop) and a
// small pool runs the handlers that read files or run commands. Before any handler, every
// request must name this server in its Host, a POST must come from this page itself, and
// an API call must carry a live session. The owner assigns `settings` (webBindAddress,
// webPort and webAllowedHosts are used) and the seams below, calls Start, and later Stop,
// from its own thread; Stop (also called by the destructor) joins every thread.
class WebConfigServer {
 public:
  static constexpr size_t kMaxConnections = 4096;
  // How long one client may take to send its whole request (and to read the reply).
  static constexpr std::chrono::milliseconds kRequestDeadline{10000};

  explicit WebConfigServer(std::string configPath);
  WebConfigServer(const WebConfigServer&) = delete;
  WebConfigServer& operator=(const WebConfigServer&) = delete;
  ~WebConfigServer();

  void Start();
  void Stop();

  // The port actually listened on (useful when webPort is 0); 0 until listening.
  int BoundPort() const { return boundPort_.load(); }

  Settings settings;

  // Where the status and log views look, how interfaces are found, and the limits. Tests
  // replace them; they must not change after Start.
  std::string statePath = kStateFilePath;
  std::function<std::string()> logPath;
  std::function<std::vector<InterfaceNetwork>()> detectInterfaces;
  std::function<GatewayHealth()> checkGatewayHealth;
  std::chrono::milliseconds requestDeadline = kRequestDeadline;
  size_t maxConnections = kMaxConnections;

 private:
  using Handler = WebReply (WebConfigServer::*)(const WebCall&);

  void Serve();
  UniqueFd OpenListeningSocket();
  size_t ConnectionLimit() const;
  Routed Route(WebCall& call);
  bool HostAllowed(const WebRequest& request);
  std::string LiveSession(const WebRequest& request);
  WebReply Refuse(const std::string& kind, WebReply reply);
  std::function<WebReply()> Job(Handler handler, const WebCall& call);
  // The 429 reply while the caller's address must wait after failed logins; null otherwise.
  std::unique_ptr<WebReply> LoginWaitLocked(const std::string& peer);

  // API handlers; each makes exactly one reply.
  WebReply HandleLogin(const WebCall& call);
  WebReply HandleLogout(const WebCall& call);
  WebReply HandleStatus(const WebCall& call);
  WebReply HandleLogs(const WebCall& call);
  WebReply HandleSaveConfig(const WebCall& call);
  WebReply HandlePassword(const WebCall& call);
  WebReply HandleTest(const WebCall& call);
  WebReply HandleRestart(const WebCall& call);
  WebReply HandleHealth(const WebCall& call);
  WebReply HandleMetrics(const WebCall& call);

  std::string configPath_;
  std::atomic<bool> stopping_{false};
  UniqueFd wakeFd_;
  std::thread serverThread_;
  std::atomic<int> boundPort_{0};

  SessionStore sessions_;
  LoginThrottle throttle_;
  LogLimiter refusals_{std::chrono::minutes(1)};  // used on the server thread only
  std::vector<std::string> allowedHosts_;         // server thread only
  std::chrono::steady_clock::time_point allowedHostsAt_;
};

}  // namespace larkspire
