#include "web/web_server.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "util/logger.h"
#include "util/socket_io.h"
#include "web/pages.h"
#include "web/request_guard.h"

namespace larkspire {
namespace {

constexpr int kListenBacklog = 512;
constexpr const char* kCookieName = "larkspire_edge";
constexpr const char* kHtml = "text/html; charset=utf-8";
constexpr const char* kScript = "text/javascript; charset=utf-8";
// Descriptors kept free for the rest of the process (relay, Hub calls, files, commands).
constexpr rlim_t kReservedDescriptors = 128;
// How long the machine's own addresses are trusted before they are looked up again.
constexpr std::chrono::seconds kAddressRefresh{10};

std::vector<std::string> OwnIpv4Addresses() {
  std::vector<std::string> addresses;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) {
    return addresses;
  }
  for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_INET) {
      char text[INET_ADDRSTRLEN] = "";
      ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(entry->ifa_addr)->sin_addr, text,
                  sizeof(text));
      addresses.push_back(text);
    }
  }
  ::freeifaddrs(list);
  return addresses;
}

WebReply Page(const std::string& contentType, const std::string& text) {
  WebReply reply;
  reply.contentType = contentType;
  reply.body = text;
  return reply;
}

Routed Now(WebReply reply) {
  Routed routed;
  routed.reply = std::make_unique<WebReply>(std::move(reply));
  return routed;
}

}  // namespace

WebConfigServer::WebConfigServer(std::string configPath)
    : logPath([] { return g_log.Path(); }),
      detectInterfaces(DetectHardwareInterfaceNetworks),
      checkGatewayHealth(CheckCurrentGatewayHealth),
      configPath_(std::move(configPath)) {}

WebConfigServer::~WebConfigServer() {
  Stop();
}

void WebConfigServer::Start() {
  wakeFd_.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  serverThread_ = std::thread([this] { Serve(); });
}

void WebConfigServer::Stop() {
  stopping_.exchange(true);
  if (wakeFd_.valid()) {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wakeFd_.get(), &one, sizeof(one));
  }
  if (serverThread_.joinable()) {
    serverThread_.join();
  }
  wakeFd_.Reset();
  boundPort_.store(0);
}

void WebConfigServer::Serve() {
  try {
    if (!wakeFd_.valid()) {
      throw std::runtime_error("web eventfd failed");
    }
    RandomToken();  // a server that could not make sessions must not start
    UniqueFd listenFd = OpenListeningSocket();
    HttpEventLoop loop(std::move(listenFd), wakeFd_.get(), {ConnectionLimit(), requestDeadline},
                       [this](WebCall& call) { return Route(call); });
    loop.Run(stopping_);
  } catch (const std::exception& error) {
    g_log.Write("WARN", std::string("Web config page disabled: ") + error.what());
  }
}

UniqueFd WebConfigServer::OpenListeningSocket() {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.valid()) {
    throw std::runtime_error("web socket failed");
  }
  SetIntOption(fd.get(), SOL_SOCKET, SO_REUSEADDR, 1);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(settings.webPort));
  if (::inet_pton(AF_INET, settings.webBindAddress.c_str(), &address.sin_addr) != 1) {
    settings.webBindAddress = "127.0.0.1";
    ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
  }
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    throw std::runtime_error("web bind failed on port " + std::to_string(settings.webPort) + ": " +
                             std::strerror(errno));
  }
  if (::listen(fd.get(), kListenBacklog) != 0) {
    throw std::runtime_error("web listen failed");
  }
  sockaddr_in bound{};
  socklen_t length = sizeof(bound);
  ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &length);
  int port = ntohs(bound.sin_port);
  g_log.Write("INFO", "Web config page listening on http://" + settings.webBindAddress + ":" +
                          std::to_string(port));
  boundPort_.store(port);
  return fd;
}

// Idle clients are cheap, but each holds a descriptor: the soft limit (often 1024) is raised
// to the hard one so that a thousand of them do not run the process out.
size_t WebConfigServer::ConnectionLimit() const {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    ::getrlimit(RLIMIT_NOFILE, &limit);
  }
  rlim_t room = limit.rlim_cur > 2 * kReservedDescriptors ? limit.rlim_cur - kReservedDescriptors
                                                          : kReservedDescriptors;
  return std::min<size_t>(maxConnections, static_cast<size_t>(room));
}

bool WebConfigServer::HostAllowed(const WebRequest& request) {
  const auto now = std::chrono::steady_clock::now();
  if (allowedHosts_.empty() || now - allowedHostsAt_ >= kAddressRefresh) {
    std::vector<std::string> own;
    if (settings.webBindAddress == "0.0.0.0") {
      own = OwnIpv4Addresses();
    }
    allowedHosts_ = AllowedAuthorities(settings.webBindAddress, boundPort_.load(), own,
                                       settings.webAllowedHosts);
    allowedHostsAt_ = now;
  }
  return HasAllowedHost(request.head, allowedHosts_);
}

std::string WebConfigServer::LiveSession(const WebRequest& request) {
  for (const std::string& token : CookieValues(request.head, kCookieName)) {
    if (sessions_.Touch(token)) {
      return token;
    }
  }
  return "";
}

// Refusals are logged so the operator learns of an attack, but at most once a minute per
// kind, however many requests a hostile page sends.
WebReply WebConfigServer::Refuse(const std::string& kind, WebReply reply) {
  if (int count = refusals_.Count(kind); count > 0) {
    g_log.Write("WARN", "Web request refused: " + kind + " (" + std::to_string(count) +
                            " since the last report)");
  }
  return reply;
}

// Runs `handler` on the pool. While the password is still the factory default, a session
// may do nothing but change it: anyone who read the manual knows that password.
std::function<WebReply()> WebConfigServer::Job(Handler handler, const WebCall& call) {
  return [this, handler, call] {
    if (handler != &WebConfigServer::HandlePassword &&
        LoadSettings(configPath_).webPassword == kDefaultWebPassword) {
      return JsonReply(403, R"({"success":false,"message":"Change the default password first."})");
    }
    return (this->*handler)(call);
  };
}

Routed WebConfigServer::Route(WebCall& call) {
  const WebRequest& request = call.request;
  const std::string& method = request.method;
  const std::string& path = request.path;
  if (!HostAllowed(request)) {
    WebReply reply = Page("text/plain; charset=utf-8",
                          "Misdirected request: this page answers only to its own address.\n");
    reply.status = 421;
    return Now(Refuse("unknown Host from " + call.peer, std::move(reply)));
  }
  if (method == "POST" && !IsSameSiteJsonPost(request.head)) {
    return Now(
        Refuse("cross-site POST from " + call.peer,
               JsonReply(403, R"({"success":false,"message":"cross-site request refused"})")));
  }
  if (method == "GET" && path == "/") {
    return Now(LiveSession(request).empty() ? Page(kHtml, StableLoginHtml())
                                            : Page(kHtml, StableAppHtml()));
  }
  if (method == "GET" && path == "/login.js") {
    return Now(Page(kScript, StableLoginScript()));
  }
  if (method == "GET" && path == "/app.js") {
    return Now(Page(kScript, StableAppScript()));
  }
  if (method == "GET" && path == "/metrics") {
    return Now(HandleMetrics(call));  // counters only, no secret: open to a scraper
  }
  if (method == "POST" && path == "/api/login") {
    // Checked here too, so a flood of attempts from a shut-out address never reaches the
    // pool; the handler checks again, atomically with the attempt.
    auto lock = throttle_.Lock();
    Routed routed;
    routed.reply = LoginWaitLocked(call.peer);
    if (!routed.reply) {
      routed.job = [this, call] { return HandleLogin(call); };
    }
    return routed;
  }
  call.session = LiveSession(request);
  if (call.session.empty()) {
    return Now(JsonReply(401, R"({"success":false,"message":"unauthorized"})"));
  }
  if (method == "POST" && path == "/api/logout") {
    return Now(HandleLogout(call));
  }
  static const struct {
    const char* method;
    const char* path;
    Handler handler;
  } kRoutes[] = {
      {"GET", "/api/status", &WebConfigServer::HandleStatus},
      {"GET", "/api/logs", &WebConfigServer::HandleLogs},
      {"POST", "/api/config", &WebConfigServer::HandleSaveConfig},
      {"POST", "/api/password", &WebConfigServer::HandlePassword},
      {"POST", "/api/test", &WebConfigServer::HandleTest},
      {"POST", "/api/restart", &WebConfigServer::HandleRestart},
      {"GET", "/api/health", &WebConfigServer::HandleHealth},
  };
  for (const auto& route : kRoutes) {
    if (method == route.method && path == route.path) {
      Routed routed;
      routed.job = Job(route.handler, call);
      return routed;
    }
  }
  return Now(JsonReply(404, R"({"success":false,"message":"not found"})"));
}

}  // namespace larkspire
