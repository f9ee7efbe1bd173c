#pragma once

#include <cstddef>
#include <string>

#include "hub/tls_session.h"

namespace larkspire {

// The Hub's JSON reply envelope.
struct ApiResponse {
  int status = 0;
  bool success = false;
  std::string code;
  std::string message;
  std::string data;  // raw JSON text of "data"
  std::string body;
};

// The largest reply body of the Hub's JSON API we take: its envelopes are a few kilobytes,
// and anything far beyond that is a broken or hostile Hub, not data.
inline constexpr size_t kMaxHubReplyBytes = 1024 * 1024;

// Minimal HTTP/1.1 client for the Hub's JSON API: one connection per call, TLS for an https
// URL. Holds only immutable values, so one client may be used from several threads.
class HttpClient {
 public:
  explicit HttpClient(std::string baseUrl, HubTrust trust = {});

  // Throws on URL, connection, send or receive failure, and "Hub reply too large." for a
  // body beyond kMaxHubReplyBytes; an HTTP error status is data.
  ApiResponse Send(const std::string& method, const std::string& path,
                   const std::string& body) const;
  // Streams a 2xx body into a new file `destination` (mode 0600, an existing file or link
  // there is refused) as it arrives; true when all of it was written. False on a send
  // failure, another status or a write failure. Throws HttpError kBodyTooLarge once the body
  // passes `maxBytes` (the partial file stays for the caller to remove), and on URL,
  // connection or receive failures.
  bool Download(const std::string& urlOrPath, const std::string& destination,
                size_t maxBytes) const;

  const std::string& BaseUrl() const { return baseUrl_; }

 private:
  std::string baseUrl_;
  HubTrust trust_;
};

// The request bytes of HttpClient::Send. `path` gets a leading "/" when it lacks one; only
// "POST" carries the JSON body and its headers.
std::string BuildApiRequest(const std::string& method, const std::string& host, int port,
                            const std::string& path, const std::string& body);
// The request bytes of HttpClient::Download: a GET of `target` (path and query).
std::string BuildDownloadRequest(const std::string& host, int port, const std::string& target);
// Reduces a reply to the envelope; the body's own "success" wins over the status class.
ApiResponse MakeApiResponse(int status, std::string body);

}  // namespace larkspire
