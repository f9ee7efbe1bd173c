#include "web/http_event_loop.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <cerrno>
#include <stdexcept>

#include "util/json.h"
#include "util/logger.h"
#include "util/socket_io.h"

namespace larkspire {
namespace {

constexpr uint64_t kListenId = 0;
constexpr uint64_t kWakeId = 1;
constexpr size_t kChunkBytes = 65536;
constexpr int kMaxEvents = 256;
constexpr int kAcceptsPerWake = 256;
// After the reply, what the client still sends is read and dropped (up to this much, for at
// most kDrainTime) so that closing does not reset the connection before it read the reply.
constexpr size_t kMaxDrainBytes = 2 * kMaxRequestBytes;
constexpr std::chrono::seconds kDrainTime{2};
constexpr std::chrono::milliseconds kAcceptPause{100};

WebReply ErrorReply(int status, const std::string& message) {
  return JsonReply(status, "{\"success\":false,\"message\":" + JsonString(message) + "}");
}

std::string PeerAddress(const sockaddr_in& address) {
  char text[INET_ADDRSTRLEN] = "";
  ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof(text));
  return text;
}

}  // namespace

HttpEventLoop::HttpEventLoop(UniqueFd listenFd, int wakeFd, Limits limits, Router router)
    : listenFd_(std::move(listenFd)),
      wakeFd_(wakeFd),
      epollFd_(::epoll_create1(EPOLL_CLOEXEC)),
      limits_(limits),
      router_(std::move(router)),
      chunk_(kChunkBytes),
      pool_(kWorkers, kQueuedJobs) {
  if (!epollFd_.valid()) {
    throw std::runtime_error("web epoll failed");
  }
  epoll_event listen{EPOLLIN, {.u64 = kListenId}};
  epoll_event wake{EPOLLIN, {.u64 = kWakeId}};
  if (::epoll_ctl(epollFd_.get(), EPOLL_CTL_ADD, listenFd_.get(), &listen) != 0 ||
      ::epoll_ctl(epollFd_.get(), EPOLL_CTL_ADD, wakeFd_, &wake) != 0) {
    throw std::runtime_error("web epoll failed");
  }
}

HttpEventLoop::~HttpEventLoop() {
  pool_.Stop();
}

void HttpEventLoop::Run(const std::atomic<bool>& stopping) {
  epoll_event events[kMaxEvents];
  while (!stopping.load()) {
    int count = ::epoll_wait(epollFd_.get(), events, kMaxEvents, MillisToNextDeadline());
    if (count < 0 && errno != EINTR) {
      throw std::runtime_error("web epoll failed");
    }
    for (int i = 0; i < count; ++i) {
      const uint64_t id = events[i].data.u64;
      if (id == kListenId) {
        AcceptAll();
      } else if (id == kWakeId) {
        uint64_t ignored;
        [[maybe_unused]] ssize_t n = ::read(wakeFd_, &ignored, sizeof(ignored));
        TakeCompleted();
      } else if (auto found = connections_.find(id); found != connections_.end()) {
        OnEvent(*found->second, events[i].events);
      }
    }
    Expire(Clock::now());
  }
  // The running jobs end first: they hold no connection, but report to this object.
  pool_.Stop();
  connections_.clear();
}

int HttpEventLoop::MillisToNextDeadline() const {
  Clock::time_point next = Clock::now() + std::chrono::seconds(1);
  if (!deadlines_.empty() && deadlines_.begin()->first < next) {
    next = deadlines_.begin()->first;
  }
  if (acceptPaused_ && acceptPausedUntil_ < next) {
    next = acceptPausedUntil_;
  }
  auto left = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

void HttpEventLoop::AcceptAll() {
  for (int i = 0; i < kAcceptsPerWake; ++i) {
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    int fd = ::accept4(listenFd_.get(), reinterpret_cast<sockaddr*>(&address), &length,
                       SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      Admit(fd, PeerAddress(address));
      continue;
    }
    if (errno == EINTR || errno == ECONNABORTED) {
      continue;
    }
    if ((errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) &&
        !EvictOldestReader()) {
      // Nothing to give up: stop accepting for a moment instead of spinning on the error.
      g_log.Write("WARN", "web accept failed");
      ::epoll_ctl(epollFd_.get(), EPOLL_CTL_DEL, listenFd_.get(), nullptr);
      acceptPaused_ = true;
      acceptPausedUntil_ = Clock::now() + kAcceptPause;
    }
    return;
  }
}

void HttpEventLoop::Admit(int fd, const std::string& peer) {
  UniqueFd owned(fd);
  if (connections_.size() >= limits_.maxConnections && !EvictOldestReader()) {
    return;  // every place is busy with a request being answered
  }
  SetIntOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
  auto connection = std::make_unique<Connection>();
  connection->id = nextId_++;
  connection->fd = std::move(owned);
  connection->peer = peer;
  Connection& c = *connection;
  connections_[c.id] = std::move(connection);
  SetDeadline(c, Clock::now() + limits_.requestDeadline);
  Watch(c, EPOLLIN | EPOLLRDHUP);
}

// The connection that has been reading its request the longest is the likeliest to be a
// client that holds a place without using it.
bool HttpEventLoop::EvictOldestReader() {
  for (const auto& [deadline, id] : deadlines_) {
    Connection& c = *connections_.at(id);
    if (c.phase == Phase::Reading) {
      Close(c);
      return true;
    }
  }
  return false;
}

void HttpEventLoop::OnEvent(Connection& c, uint32_t events) {
  switch (c.phase) {
    case Phase::Reading:
      ReadSome(c);
      break;
    case Phase::Writing:
      if (events & (EPOLLERR | EPOLLHUP)) {
        Close(c);
      } else {
        WriteSome(c);
      }
      break;
    case Phase::Draining:
      Drain(c);
      break;
    case Phase::Handling:
      break;  // not watched
  }
}

void HttpEventLoop::ReadSome(Connection& c) {
  const uint64_t id = c.id;
  while (connections_.contains(id) && c.phase == Phase::Reading) {
    ssize_t n = ::recv(c.fd.get(), chunk_.data(), chunk_.size(), 0);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return;
    }
    if (n < 0) {
      Close(c);
      return;
    }
    if (n == 0) {
      Examine(c, true);
      return;
    }
    if (bufferedBytes_ + static_cast<size_t>(n) > kMaxBufferedBytes) {
      StartWrite(c, ErrorReply(503, "server busy"));
      return;
    }
    c.in.append(chunk_.data(), static_cast<size_t>(n));
    bufferedBytes_ += static_cast<size_t>(n);
    Examine(c, false);
  }
}

// Decides whether the request is complete, too large, cut short (`ended`: the peer closed or
// the deadline passed) or still arriving.
void HttpEventLoop::Examine(Connection& c, bool ended) {
  const size_t blank = c.in.find("\r\n\r\n");
  if (blank == std::string::npos) {
    if (c.in.size() > kMaxRequestBytes) {
      StartWrite(c, ErrorReply(500, "request too large"));
    } else if (ended && c.in.empty()) {
      Close(c);  // nothing was asked
    } else if (ended) {
      StartWrite(c, ErrorReply(400, "incomplete request"));
    }
    return;
  }
  const long long announced = AnnouncedContentLength(c.in.substr(0, blank + 2));
  const size_t bodyStart = blank + 4;
  if (announced > 0 && static_cast<unsigned long long>(announced) > kMaxRequestBytes - bodyStart) {
    StartWrite(c, ErrorReply(500, "request too large"));
    return;
  }
  const size_t wanted = bodyStart + static_cast<size_t>(announced > 0 ? announced : 0);
  if (c.in.size() >= wanted) {
    Dispatch(c, wanted);
  } else if (ended) {
    // A body shorter than announced is never handed to a handler: half a configuration
    // must not be saved as if it were the whole.
    StartWrite(c, ErrorReply(400, "incomplete request"));
  }
}

void HttpEventLoop::Dispatch(Connection& c, size_t requestBytes) {
  WebCall call;
  call.request = ParseHttpRequest(c.in.substr(0, requestBytes));
  call.peer = c.peer;
  DropBuffers(c);
  c.phase = Phase::Handling;
  Unwatch(c);
  deadlines_.erase({c.deadline, c.id});
  Routed routed;
  try {
    routed = router_(call);
  } catch (const std::exception& error) {
    StartWrite(c, ErrorReply(500, error.what()));
    return;
  }
  if (routed.reply) {
    StartWrite(c, std::move(*routed.reply));
    return;
  }
  const uint64_t id = c.id;
  auto job = [this, id, work = std::move(routed.job)] {
    WebReply reply;
    try {
      reply = work();
    } catch (const std::exception& error) {
      reply = ErrorReply(500, error.what());
    }
    Complete(id, std::move(reply));
  };
  // Replies waiting for slow readers count against the same budget as requests.
  if (bufferedBytes_ > kMaxBufferedBytes || !pool_.TrySubmit(std::move(job))) {
    StartWrite(c, ErrorReply(503, "server busy"));
  }
}

void HttpEventLoop::Complete(uint64_t id, WebReply reply) {
  {
    std::lock_guard<std::mutex> lock(doneMutex_);
    done_.push_back(Done{id, std::move(reply)});
  }
  uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof(one));
}

void HttpEventLoop::TakeCompleted() {
  std::vector<Done> done;
  {
    std::lock_guard<std::mutex> lock(doneMutex_);
    done.swap(done_);
  }
  for (Done& item : done) {
    if (auto found = connections_.find(item.id); found != connections_.end()) {
      StartWrite(*found->second, std::move(item.reply));
    } else if (item.reply.afterSent) {
      item.reply.afterSent();
    }
  }
}

void HttpEventLoop::StartWrite(Connection& c, WebReply reply) {
  DropBuffers(c);
  c.out = FormatHttpResponse(reply);
  bufferedBytes_ += c.out.size();
  c.afterSent = std::move(reply.afterSent);
  c.phase = Phase::Writing;
  SetDeadline(c, Clock::now() + limits_.requestDeadline);
  WriteSome(c);
}

void HttpEventLoop::WriteSome(Connection& c) {
  while (c.sent < c.out.size()) {
    ssize_t n = ::send(c.fd.get(), c.out.data() + c.sent, c.out.size() - c.sent,
                       MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      Watch(c, EPOLLOUT);
      return;
    }
    if (n <= 0) {
      Close(c);
      return;
    }
    c.sent += static_cast<size_t>(n);
  }
  if (c.afterSent) {
    std::exchange(c.afterSent, nullptr)();
  }
  DropBuffers(c);
  ::shutdown(c.fd.get(), SHUT_WR);
  c.phase = Phase::Draining;
  SetDeadline(c, Clock::now() + kDrainTime);
  Watch(c, EPOLLIN | EPOLLRDHUP);
}

void HttpEventLoop::Drain(Connection& c) {
  while (true) {
    ssize_t n = ::recv(c.fd.get(), chunk_.data(), chunk_.size(), 0);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return;
    }
    c.drained += n > 0 ? static_cast<size_t>(n) : 0;
    if (n <= 0 || c.drained > kMaxDrainBytes) {
      Close(c);
      return;
    }
  }
}

void HttpEventLoop::Expire(Clock::time_point now) {
  if (acceptPaused_ && now >= acceptPausedUntil_) {
    epoll_event listen{EPOLLIN, {.u64 = kListenId}};
    ::epoll_ctl(epollFd_.get(), EPOLL_CTL_ADD, listenFd_.get(), &listen);
    acceptPaused_ = false;
  }
  while (!deadlines_.empty() && deadlines_.begin()->first <= now) {
    const uint64_t id = deadlines_.begin()->second;
    Connection& c = *connections_.at(id);
    if (c.phase == Phase::Reading) {
      Examine(c, true);  // answers, dispatches or closes: the deadline entry is replaced
    } else {
      Close(c);
    }
    if (auto found = connections_.find(id);
        found != connections_.end() && found->second->phase == Phase::Reading) {
      Close(*found->second);
    }
  }
}

void HttpEventLoop::Watch(Connection& c, uint32_t events) {
  epoll_event event{events, {.u64 = c.id}};
  ::epoll_ctl(epollFd_.get(), c.watched ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, c.fd.get(), &event);
  c.watched = true;
}

void HttpEventLoop::Unwatch(Connection& c) {
  if (c.watched) {
    ::epoll_ctl(epollFd_.get(), EPOLL_CTL_DEL, c.fd.get(), nullptr);
    c.watched = false;
  }
}

void HttpEventLoop::SetDeadline(Connection& c, Clock::time_point deadline) {
  deadlines_.erase({c.deadline, c.id});
  c.deadline = deadline;
  deadlines_.insert({deadline, c.id});
}

void HttpEventLoop::Close(Connection& c) {
  if (c.afterSent) {
    std::exchange(c.afterSent, nullptr)();
  }
  Unwatch(c);
  deadlines_.erase({c.deadline, c.id});
  DropBuffers(c);
  connections_.erase(c.id);  // closes the socket
}

void HttpEventLoop::DropBuffers(Connection& c) {
  bufferedBytes_ -= c.in.size() + c.out.size();
  std::string().swap(c.in);
  std::string().swap(c.out);
}

}  // namespace larkspire
