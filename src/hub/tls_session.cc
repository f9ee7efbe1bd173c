#include "hub/tls_session.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string_view>

#include "hub/key_pin.h"
#include "util/socket_io.h"

namespace larkspire {
namespace {

// The whole handshake gets what a plain connection gets for one receive.
constexpr std::chrono::seconds kHandshakeLimit{8};
// Frames are gathered into full records (the protocol's largest) before they are sealed.
constexpr size_t kRecordBytes = 16 * 1024;
// Records are made for this much of a burst before they leave in one send: one system call
// and a few large segments instead of one of each per record.
constexpr size_t kSealBytes = 64 * 1024;
// Records arriving back to back are taken from the socket this much at a time.
constexpr size_t kReadAheadBytes = 64 * 1024;

struct ContextFree {
  void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
struct SessionFree {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};
using ContextPtr = std::unique_ptr<SSL_CTX, ContextFree>;
using SessionPtr = std::unique_ptr<SSL, SessionFree>;

// The reason of the library's last error (its queue is cleared), or `fallback`.
std::string TakeSslError(const char* fallback) {
  const unsigned long code = ERR_peek_last_error();
  const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
  ERR_clear_error();
  return reason != nullptr ? reason : fallback;
}

ContextPtr NewContext(const SSL_METHOD* method) {
  ContextPtr context(SSL_CTX_new(method));
  if (!context) {
    throw std::runtime_error("TLS setup failed: " + TakeSslError("no context"));
  }
  SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
  // Where the kernel has TLS (module tls) it takes the record layer after the handshake,
  // and the relay's vectored sends stay single system calls.
  SSL_CTX_set_options(context.get(), SSL_OP_ENABLE_KTLS | SSL_OP_NO_RENEGOTIATION);
  // Partial writes let a send see its progress record by record (for its stall limit).
  SSL_CTX_set_mode(context.get(),
                   SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // One receive brings several records instead of a header and a body per record.
  SSL_CTX_set_read_ahead(context.get(), 1);
  SSL_CTX_set_default_read_buffer_len(context.get(), kReadAheadBytes);
  return context;
}

// The socket's own time-out as a poll time-out: -1 (none) when it is zero.
int SocketTimeoutMs(int fd, int option) {
  timeval timeout{};
  socklen_t length = sizeof timeout;
  if (::getsockopt(fd, SOL_SOCKET, option, &timeout, &length) != 0) {
    return -1;
  }
  const long ms = timeout.tv_sec * 1000L + timeout.tv_usec / 1000;
  return ms > 0 ? static_cast<int>(ms) : -1;
}

// The poll events a session call waits for, 0 when the error is not a wait.
short WaitEvents(int sslError) {
  if (sslError == SSL_ERROR_WANT_READ) {
    return POLLIN;
  }
  return sslError == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
}

// Runs SSL_connect or SSL_accept to the end within the handshake limit. False with the
// reason in `failure`.
bool Handshake(SSL* ssl, int fd, int (*step)(SSL*), std::string& failure) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + kHandshakeLimit;
  while (true) {
    ERR_clear_error();
    const int result = step(ssl);
    if (result == 1) {
      return true;
    }
    const int error = SSL_get_error(ssl, result);
    const short events = WaitEvents(error);
    if (events == 0) {
      failure = error == SSL_ERROR_SYSCALL && ERR_peek_last_error() == 0
                    ? "connection closed"
                    : TakeSslError("protocol error");
      return false;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd wait{fd, events, 0};
    if (left.count() <= 0 || ::poll(&wait, 1, static_cast<int>(left.count())) == 0) {
      failure = "timed out";
      return false;
    }
  }
}

void CheckPinnedKey(SSL* ssl, const std::string& pin) {
  X509* certificate = SSL_get0_peer_certificate(ssl);
  unsigned char* der = nullptr;
  const int length =
      certificate != nullptr ? i2d_X509_PUBKEY(X509_get_X509_PUBKEY(certificate), &der) : -1;
  if (length <= 0) {
    throw std::runtime_error("Hub certificate does not match the pinned key.");
  }
  const std::string_view key(reinterpret_cast<const char*>(der), static_cast<size_t>(length));
  bool matches = false;
  try {
    matches = KeyMatchesPin(pin, key);
  } catch (...) {
    OPENSSL_free(der);
    throw;
  }
  OPENSSL_free(der);
  if (!matches) {
    throw std::runtime_error("Hub certificate does not match the pinned key.");
  }
}

}  // namespace

// The records of a userspace session, kept until a send takes them: the library would
// otherwise hand the socket each record (16 KiB at most) in a system call of its own, which
// also leaves as its own train of segments. Appended to only from inside calls into the
// session (under the session lock); sent from under its own lock, so a send in progress never
// holds up the reader's calls into the session.
class RecordOutbox {
 public:
  // A write end for the session that appends here; the outbox must outlive it.
  BIO* NewBio() {
    static BIO_METHOD* const method = [] {
      BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "outbox");
      if (made != nullptr) {
        BIO_meth_set_write_ex(made, &Write);
        BIO_meth_set_ctrl(made, &Control);
      }
      return made;
    }();
    BIO* bio = method != nullptr ? BIO_new(method) : nullptr;
    if (bio != nullptr) {
      BIO_set_data(bio, this);
      BIO_set_init(bio, 1);
    }
    return bio;
  }

  bool Pending() const { return pending_.load(); }

  // One non-blocking send of what is waiting; `finished` once nothing is left.
  SendTry Flush(int fd) {
    std::lock_guard lock(mutex_);
    return FlushLocked(fd);
  }
  // The same unless another thread is sending (it then takes these bytes too).
  void TryFlush(int fd) {
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (lock.owns_lock()) {
      FlushLocked(fd);
    }
  }

 private:
  static int Write(BIO* bio, const char* data, size_t size, size_t* written) {
    auto* outbox = static_cast<RecordOutbox*>(BIO_get_data(bio));
    std::lock_guard lock(outbox->mutex_);
    // Appended as bytes of the vector's own type, so the copy is one block move.
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    outbox->bytes_.insert(outbox->bytes_.end(), bytes, bytes + size);
    outbox->pending_.store(true);
    *written = size;
    return 1;
  }
  // The library flushes after each record; the outbox is flushed by its owner instead.
  static long Control(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

  SendTry FlushLocked(int fd) {
    if (begin_ == bytes_.size()) {
      return {0, 0, true};
    }
    const ssize_t n =
        ::send(fd, bytes_.data() + begin_, bytes_.size() - begin_, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) {
        return {0, 0};
      }
      return errno == EAGAIN || errno == EWOULDBLOCK ? SendTry{0, POLLOUT} : SendTry{-1, 0};
    }
    begin_ += static_cast<size_t>(n);
    if (begin_ < bytes_.size()) {
      return {n, 0};
    }
    begin_ = 0;
    bytes_.clear();
    pending_.store(false);
    return {n, 0, true};
  }

  std::mutex mutex_;
  std::vector<unsigned char> bytes_;  // sent up to begin_
  size_t begin_ = 0;
  std::atomic<bool> pending_ = false;
};

TlsSession::TlsSession(UniqueFd socket, ssl_st* ssl) : socket_(std::move(socket)), ssl_(ssl) {
  kernelSends_ = BIO_get_ktls_send(SSL_get_wbio(ssl_));
  if (kernelSends_) {
    return;
  }
  outbox_ = std::make_unique<RecordOutbox>();
  BIO* bio = outbox_->NewBio();
  if (bio == nullptr) {
    SSL_free(ssl_);
    throw std::runtime_error("TLS setup failed: " + TakeSslError("no buffer"));
  }
  // From here on the records are written to the outbox; the socket stays the read end.
  SSL_set0_wbio(ssl_, bio);
}

TlsSession::~TlsSession() {
  // A polite close_notify when the session is still sound; the socket may already be shut
  // down, and the send is non-blocking, so this never waits.
  if (!broken_) {
    ERR_clear_error();
    SSL_shutdown(ssl_);
    if (outbox_) {
      outbox_->Flush(fd());
    }
  }
  SSL_free(ssl_);
  ERR_clear_error();
}

std::string TlsSession::Description() const {
  return std::string(SSL_get_version(ssl_)) +
         (kernelSends_ ? ", records sent by the kernel" : ", records sent by userspace");
}

ssize_t TlsSession::Receive(void* buffer, size_t size) {
  while (true) {
    int error = SSL_ERROR_NONE;
    size_t received = 0;
    {
      std::lock_guard lock(sessionMutex_);
      ERR_clear_error();
      const int result = SSL_read_ex(ssl_, buffer, size, &received);
      if (result == 1) {
        // Records already read ahead are opened now as well: one call, not one per record.
        size_t more = 0;
        while (received < size && SSL_has_pending(ssl_) == 1 &&
               SSL_read_ex(ssl_, static_cast<char*>(buffer) + received, size - received, &more) ==
                   1) {
          received += more;
        }
        // A failure after data shows again on the next call; the data goes first.
        ERR_clear_error();
      } else {
        error = SSL_get_error(ssl_, result);
      }
    }
    FlushAfterRead();
    if (received > 0) {
      return static_cast<ssize_t>(received);
    }
    if (error == SSL_ERROR_ZERO_RETURN) {
      return 0;
    }
    if (WaitEvents(error) == 0) {
      broken_ = true;
      ERR_clear_error();
      errno = ECONNRESET;
      return -1;
    }
    pollfd wait{fd(), WaitEvents(error), 0};
    const int ready = ::poll(&wait, 1, SocketTimeoutMs(fd(), SO_RCVTIMEO));
    if (ready == 0) {
      errno = EAGAIN;
      return -1;
    }
    if (ready < 0) {
      return -1;
    }
  }
}

void TlsSession::FlushAfterRead() {
  if (outbox_ && outbox_->Pending()) {
    outbox_->TryFlush(fd());
  }
}

SendOutcome TlsSession::Send(iovec* parts, size_t count, std::chrono::milliseconds stallLimit) {
  if (kernelSends_) {
    return SendAllUnlessStalled(fd(), parts, count, stallLimit);
  }
  std::lock_guard lock(sendMutex_);
  return SendThroughSession(parts, count, stallLimit);
}

SendOutcome TlsSession::SendThroughSession(iovec* parts, size_t count,
                                           std::chrono::milliseconds stallLimit) {
  staging_.resize(kRecordBytes);
  size_t stagedBegin = 0;
  size_t stagedEnd = 0;
  count = ConsumeParts(parts, count, 0);  // skips empty parts
  return SendUnlessStalled(
      fd(),
      [&]() -> SendTry {
        // Records waiting (this burst's or those a read left) go before any new one.
        if (outbox_->Pending()) {
          SendTry sent = outbox_->Flush(fd());
          if (sent.bytes < 0) {
            broken_ = true;
          }
          sent.finished = sent.finished && count == 0 && stagedBegin == stagedEnd;
          return sent;
        }
        if (count == 0 && stagedBegin == stagedEnd) {
          return {0, 0, true};
        }
        std::lock_guard lock(sessionMutex_);
        size_t sealed = 0;
        while (sealed < kSealBytes && (count > 0 || stagedBegin < stagedEnd)) {
          if (stagedBegin == stagedEnd) {
            // The next record's worth of the stream: full records, not one per frame.
            stagedBegin = stagedEnd = 0;
            while (count > 0 && stagedEnd < staging_.size()) {
              const size_t n = std::min(parts->iov_len, staging_.size() - stagedEnd);
              std::memcpy(staging_.data() + stagedEnd, parts->iov_base, n);
              stagedEnd += n;
              count = ConsumeParts(parts, count, n);
            }
          }
          ERR_clear_error();
          size_t written = 0;
          const int result =
              SSL_write_ex(ssl_, staging_.data() + stagedBegin, stagedEnd - stagedBegin, &written);
          if (result != 1) {
            const short events = WaitEvents(SSL_get_error(ssl_, result));
            if (events == 0) {
              broken_ = true;
              ERR_clear_error();
              return {-1, 0};
            }
            return {static_cast<ssize_t>(sealed), events};
          }
          stagedBegin += written;
          sealed += written;
        }
        return {static_cast<ssize_t>(sealed), 0};
      },
      stallLimit);
}

std::unique_ptr<TlsSession> StartTlsClient(UniqueFd socket, const std::string& host, int port,
                                           const HubTrust& trust) {
  ContextPtr context = NewContext(TLS_client_method());
  if (trust.caFile.empty()) {
    SSL_CTX_set_default_verify_paths(context.get());
  } else if (SSL_CTX_load_verify_locations(context.get(), trust.caFile.c_str(), nullptr) != 1) {
    throw std::runtime_error("Cannot read hubCaFile " + trust.caFile + ": " +
                             TakeSslError("no certificates") + ".");
  }
  SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
  SessionPtr ssl(SSL_new(context.get()));
  if (!ssl) {
    throw std::runtime_error("TLS setup failed: " + TakeSslError("no session"));
  }
  in_addr literal{};
  if (inet_pton(AF_INET, host.c_str(), &literal) == 1) {
    // An address is checked against the certificate's IP entries, never its names.
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl.get()), host.c_str());
  } else {
    SSL_set_tlsext_host_name(ssl.get(), host.c_str());
    SSL_set_hostflags(ssl.get(), X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    SSL_set1_host(ssl.get(), host.c_str());
  }
  SSL_set_fd(ssl.get(), socket.get());
  // Calls into a session never block, so none of them holds the session lock while waiting.
  SetNonBlocking(socket.get());
  std::string failure;
  if (!Handshake(ssl.get(), socket.get(), SSL_connect, failure)) {
    const long verdict = SSL_get_verify_result(ssl.get());
    if (verdict != X509_V_OK) {
      throw std::runtime_error(std::string("Hub certificate not trusted: ") +
                               X509_verify_cert_error_string(verdict));
    }
    throw std::runtime_error("TLS handshake with " + host + ":" + std::to_string(port) +
                             " failed: " + failure);
  }
  if (!trust.certSha256.empty()) {
    CheckPinnedKey(ssl.get(), trust.certSha256);
  }
  return std::make_unique<TlsSession>(std::move(socket), ssl.release());
}

TlsServer::TlsServer(const std::string& certFile, const std::string& keyFile) {
  ContextPtr context = NewContext(TLS_server_method());
  if (SSL_CTX_use_certificate_chain_file(context.get(), certFile.c_str()) != 1) {
    throw std::runtime_error("Cannot load TLS certificate " + certFile + ": " +
                             TakeSslError("unreadable"));
  }
  if (SSL_CTX_use_PrivateKey_file(context.get(), keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(context.get()) != 1) {
    throw std::runtime_error("Cannot load TLS key " + keyFile + ": " + TakeSslError("unreadable"));
  }
  context_ = context.release();
}

TlsServer::~TlsServer() {
  SSL_CTX_free(context_);
}

std::unique_ptr<TlsSession> TlsServer::Accept(UniqueFd socket, const std::string& peer) const {
  SessionPtr ssl(SSL_new(context_));
  if (!ssl) {
    throw std::runtime_error("TLS setup failed: " + TakeSslError("no session"));
  }
  SSL_set_fd(ssl.get(), socket.get());
  SetNonBlocking(socket.get());
  std::string failure;
  if (!Handshake(ssl.get(), socket.get(), SSL_accept, failure)) {
    throw std::runtime_error("TLS handshake with " + peer + " failed: " + failure);
  }
  return std::make_unique<TlsSession>(std::move(socket), ssl.release());
}

}  // namespace larkspire
