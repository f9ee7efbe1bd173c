#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hub/byte_stream.h"
#include "util/fd.h"

// OpenSSL's handles, declared here so its headers stay inside tls_session.cc.
struct ssl_st;
struct ssl_ctx_st;

namespace larkspire {

// What an https Hub must prove. Empty fields: the system's trust store, no key pin.
struct HubTrust {
  std::string caFile;      // PEM file of the CAs trusted instead of the system's
  std::string certSha256;  // hex SHA-256 of the Hub's public key, checked in addition
};

class RecordOutbox;

// One TLS session (1.2 or newer) over a connected socket, which it owns and keeps
// non-blocking. Every call into the session happens under one lock that is never held while
// waiting, so a reader thread and a sender thread may use it at once. When the kernel took
// over the record layer (kernel TLS), sends go straight to the socket, vectored; otherwise
// the records of a whole burst are made first and leave in one send. The handshake writes
// to the socket without MSG_NOSIGNAL, so the process must ignore SIGPIPE (both of our
// programs do).
class TlsSession final : public ByteStream {
 public:
  TlsSession(UniqueFd socket, ssl_st* ssl);
  ~TlsSession() override;
  TlsSession(const TlsSession&) = delete;
  TlsSession& operator=(const TlsSession&) = delete;

  ssize_t Receive(void* buffer, size_t size) override;
  SendOutcome Send(iovec* parts, size_t count, std::chrono::milliseconds stallLimit) override;
  int fd() const override { return socket_.get(); }

  // "TLSv1.3, records sent by the kernel" or "..., by userspace", for the log.
  std::string Description() const;

 private:
  SendOutcome SendThroughSession(iovec* parts, size_t count, std::chrono::milliseconds stallLimit);
  // Sends what the reader's calls left in the outbox (an alert, a key update), if no sender
  // is at it already.
  void FlushAfterRead();

  UniqueFd socket_;
  ssl_st* ssl_;
  bool kernelSends_ = false;
  std::atomic<bool> broken_ = false;      // a fatal error happened: no close_notify then
  std::mutex sessionMutex_;               // every SSL_* call on ssl_
  std::unique_ptr<RecordOutbox> outbox_;  // userspace records not yet sent (own lock)
  std::mutex sendMutex_;                  // staging_, one sender at a time
  std::vector<unsigned char> staging_;
};

// The client side towards the Hub at `host` (a name, or an IPv4 address checked as such)
// and `port`, over a connected socket. The certificate must chain to `trust` and name the
// host; a pinned key must match as well. Throws "Hub certificate not trusted: <reason>",
// "Hub certificate does not match the pinned key.", "Cannot read hubCaFile <path>.",
// "TLS handshake with <host>:<port> failed: <reason>" or "... timed out.".
std::unique_ptr<TlsSession> StartTlsClient(UniqueFd socket, const std::string& host, int port,
                                           const HubTrust& trust);

// The server side (the development Hub): one certificate chain and key for every client.
class TlsServer {
 public:
  // Throws "Cannot load TLS certificate <file>: <reason>" or "... key <file>: <reason>".
  TlsServer(const std::string& certFile, const std::string& keyFile);
  ~TlsServer();
  TlsServer(const TlsServer&) = delete;
  TlsServer& operator=(const TlsServer&) = delete;

  // The handshake with one client; throws "TLS handshake with <peer> failed: <reason>".
  std::unique_ptr<TlsSession> Accept(UniqueFd socket, const std::string& peer) const;

 private:
  ssl_ctx_st* context_;
};

}  // namespace larkspire
