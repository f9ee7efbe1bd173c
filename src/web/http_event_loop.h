#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "util/fd.h"
#include "web/http_request.h"
#include "web/worker_pool.h"

namespace larkspire {

// One complete request and who sent it, as the router and the handlers see it.
struct WebCall {
  WebRequest request;
  std::string peer;     // the client's address
  std::string session;  // the caller's session token; empty when not logged in
};

// What the router makes of a request: a reply at once, or a job for the worker pool (work
// that reads files or runs commands must not hold up the loop).
struct Routed {
  std::unique_ptr<WebReply> reply;
  std::function<WebReply()> job;
};

// The web server's connections on one thread: accepts, reads requests as they trickle in,
// hands each complete request to the router, writes the replies and closes. Idle and slow
// clients cost a small record each and no thread. Limits: every connection must deliver its
// whole request within `requestDeadline`; at `maxConnections` the connection that has been
// reading the longest makes room; half-read requests and unsent replies together hold at
// most about kMaxBufferedBytes (past it new requests are answered 503). Run() runs on the server
// thread; Complete() is called by the workers.
class HttpEventLoop {
 public:
  using Clock = std::chrono::steady_clock;
  using Router = std::function<Routed(WebCall&)>;
  static constexpr size_t kMaxBufferedBytes = 8 * 1048576;
  static constexpr size_t kWorkers = 4;
  static constexpr size_t kQueuedJobs = 16;

  struct Limits {
    size_t maxConnections;
    std::chrono::milliseconds requestDeadline;
  };

  // Takes the listening socket; `wakeFd` is an eventfd that Stop signals.
  HttpEventLoop(UniqueFd listenFd, int wakeFd, Limits limits, Router router);
  ~HttpEventLoop();

  // Serves until `stopping` is set and the wake descriptor signalled; then closes every
  // connection after the running jobs have ended.
  void Run(const std::atomic<bool>& stopping);

 private:
  enum class Phase { Reading, Handling, Writing, Draining };
  struct Connection {
    uint64_t id;
    UniqueFd fd;
    std::string peer;
    std::string in;
    std::string out;
    size_t sent = 0;
    size_t drained = 0;
    std::function<void()> afterSent;
    Phase phase = Phase::Reading;
    bool watched = false;
    Clock::time_point deadline;
  };
  struct Done {
    uint64_t id;
    WebReply reply;
  };

  void AcceptAll();
  void Admit(int fd, const std::string& peer);
  bool EvictOldestReader();
  void OnEvent(Connection& c, uint32_t events);
  void ReadSome(Connection& c);
  void Examine(Connection& c, bool ended);
  void Dispatch(Connection& c, size_t requestBytes);
  void StartWrite(Connection& c, WebReply reply);
  void WriteSome(Connection& c);
  void Drain(Connection& c);
  void Expire(Clock::time_point now);
  void TakeCompleted();
  void Complete(uint64_t id, WebReply reply);
  void Watch(Connection& c, uint32_t events);
  void Unwatch(Connection& c);
  void SetDeadline(Connection& c, Clock::time_point deadline);
  void Close(Connection& c);
  void DropBuffers(Connection& c);
  int MillisToNextDeadline() const;

  UniqueFd listenFd_;
  int wakeFd_;
  UniqueFd epollFd_;
  Limits limits_;
  Router router_;
  uint64_t nextId_ = 2;  // 0 and 1 stand for the listening and the wake descriptor
  std::map<uint64_t, std::unique_ptr<Connection>> connections_;
  std::set<std::pair<Clock::time_point, uint64_t>> deadlines_;
  size_t bufferedBytes_ = 0;
  bool acceptPaused_ = false;
  Clock::time_point acceptPausedUntil_;
  std::vector<char> chunk_;

  std::mutex doneMutex_;
  std::vector<Done> done_;  // guarded by doneMutex_
  WorkerPool pool_;         // last: its threads end before the rest goes
};

}  // namespace larkspire
