#pragma once

#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "hub/byte_stream.h"

namespace larkspire {

// Readers of HTTP/1.1 messages on a byte stream (plain or TLS). They keep no state between calls.

// Why a message could not be read, so callers decide by kind and never by message text.
enum class HttpErrorKind {
  kReceiveFailed,    // the peer closed, a receive failed or timed out, or a stop was requested
  kLineTooLarge,     // a line beyond 16384 bytes
  kHeadersTooLarge,  // a header block beyond 65536 bytes
  kBodyTooLarge,     // a body beyond the caller's limit
  kMalformed,        // a chunk size or a Content-Length that makes no sense
};

class HttpError : public std::runtime_error {
 public:
  HttpError(HttpErrorKind kind, const std::string& message)
      : std::runtime_error(message), kind_(kind) {}
  HttpErrorKind kind() const { return kind_; }

 private:
  HttpErrorKind kind_;
};

// True when exactly `count` bytes arrived; false on close, error, time-out or a stop request.
bool RecvExact(ByteStream& stream, void* buffer, size_t count);
// One CRLF-terminated line without its CRLF. Throws HttpError ("HTTP line receive failed.",
// "HTTP line was too large."); returns the partial line when a stop is requested.
std::string ReadHttpLine(ByteStream& stream);
// The header block up to and including the blank line, read byte by byte so nothing after
// it is consumed. Throws HttpError ("HTTP header receive failed.", "HTTP headers too large.").
std::string ReadHttpHeaders(ByteStream& stream);
// The status code of the first line, 0 when there is none.
int ParseHttpStatus(const std::string& headers);
// The trimmed value of the first header line whose name is `name` (any case), empty when
// there is none.
std::string HeaderValue(const std::string& headers, const std::string& name);

// Receives the body in chunked, Content-Length or until-close framing and hands it to `sink`
// piece by piece as it arrives, so a caller can stream it out without holding it. A body of
// more than `maxBytes` throws HttpError kBodyTooLarge ("HTTP body too large.") before the
// excess is received; other failures throw HttpError too.
using HttpBodySink = std::function<void(std::string_view piece)>;
void ReadHttpBody(ByteStream& stream, const std::string& headers, size_t maxBytes, const HttpBodySink& sink);
// The same, collected into one string.
std::string ReadHttpBody(ByteStream& stream, const std::string& headers, size_t maxBytes);

}  // namespace larkspire
