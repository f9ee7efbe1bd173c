#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "devhub/http_message.h"
#include "hub/byte_stream.h"
#include "hub/tls_session.h"
#include "util/fd.h"

namespace larkspire {

// What a route handler sees of its connection besides the request. A handler that speaks
// the protocol itself (a WebSocket upgrade) calls TakeOver and then uses Stream(), plain or
// TLS, which it may keep beyond its return.
class Connection {
 public:
  Connection(std::shared_ptr<ByteStream> stream, std::string peer,
             const std::atomic<bool>* stopping)
      : stream_(std::move(stream)), peer_(std::move(peer)), stopping_(stopping) {}

  int Fd() const { return stream_ ? stream_->fd() : -1; }  // -1 without a socket (tests)
  const std::shared_ptr<ByteStream>& Stream() const { return stream_; }
  const std::string& Peer() const { return peer_; }

  // The server then writes no reply; it closes the socket once the handler returns.
  void TakeOver() { takenOver_ = true; }
  bool TakenOver() const { return takenOver_; }

  // True once the server is stopping; long-running handlers poll it and return.
  bool Stopping() const { return stopping_ != nullptr && stopping_->load(); }

 private:
  std::shared_ptr<ByteStream> stream_;
  std::string peer_;
  const std::atomic<bool>* stopping_;
  bool takenOver_ = false;
};

using RouteHandler = std::function<HttpResponse(const HttpRequest&, Connection&)>;

// The devhub's HTTP server: one accept thread, one thread per connection (at most
// kMaxConnections at a time, further clients get a 503), one request per connection.
// Register every route before Start; Dispatch may then be called from any thread.
class DevHubServer {
 public:
  static constexpr int kMaxConnections = 64;
  static constexpr size_t kMaxBodyBytes = 1024 * 1024;

  DevHubServer(std::string address, int port);
  ~DevHubServer();
  DevHubServer(const DevHubServer&) = delete;
  DevHubServer& operator=(const DevHubServer&) = delete;

  // `pattern` is an exact path ("/api/devices") or a prefix ending in "*"
  // ("/api/devices/*"). The longest matching pattern wins; an exact one beats a prefix.
  void Route(const std::string& method, const std::string& pattern, RouteHandler handler);

  // Speaks https (and wss) instead of http on the same port; call before Start. Throws the
  // errors of TlsServer.
  void EnableTls(const std::string& certFile, const std::string& keyFile);

  // Binds and starts the accept thread. Throws "Invalid listen address: <address>" or
  // "Cannot listen on <address>:<port>: <reason>".
  void Start();
  // Stops accepting, shuts down open connections and waits for their threads. Idempotent.
  void Stop();

  const std::string& Address() const { return address_; }
  int Port() const { return port_; }  // the bound port once started (useful with port 0)

  // Routes one request: 404 for an unknown path, 405 for a known path with another method,
  // 500 when the handler throws. Usable without a socket (tests).
  HttpResponse Dispatch(const HttpRequest& request, Connection& connection) const;

 private:
  struct RouteEntry {
    std::string method;
    std::string prefix;
    bool exact;
    RouteHandler handler;
  };

  void AcceptLoop();
  void ServeConnection(UniqueFd socket, std::string peer);
  // The plain stream, or the TLS session after a handshake; null (logged) when that failed.
  std::shared_ptr<ByteStream> OpenStream(UniqueFd socket, const std::string& peer);
  void Serve(const std::shared_ptr<ByteStream>& stream, const std::string& peer);
  HttpResponse ReadAndDispatch(ByteStream& stream, HttpRequest& request, Connection& connection);
  void Track(int fd, bool add);

  std::string address_;
  int port_;
  std::vector<RouteEntry> routes_;
  std::unique_ptr<TlsServer> tls_;
  UniqueFd listener_;
  UniqueFd wakeRead_;
  UniqueFd wakeWrite_;
  std::atomic<bool> stopping_{false};
  std::thread acceptThread_;

  std::mutex mutex_;  // guards active_ and openFds_
  std::condition_variable idle_;
  int active_ = 0;
  std::set<int> openFds_;
};

}  // namespace larkspire
