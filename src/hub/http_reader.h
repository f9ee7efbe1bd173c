#pragma once

#include <cstddef>
#include <string>

#include "hub/byte_stream.h"

namespace larkspire {

// Readers of HTTP/1.1 messages on a byte stream (plain or TLS). They keep no state between calls.

// True when exactly `count` bytes arrived; false on close, error, time-out or a stop request.
bool RecvExact(ByteStream& stream, void* buffer, size_t count);
// One CRLF-terminated line without its CRLF. Throws "HTTP line receive failed." or
// "HTTP line was too large."; returns the partial line when a stop is requested.
std::string ReadHttpLine(ByteStream& stream);
// The header block up to and including the blank line, read byte by byte so nothing after
// it is consumed. Throws "HTTP header receive failed." or "HTTP headers too large.".
std::string ReadHttpHeaders(ByteStream& stream);
// The status code of the first line, 0 when there is none.
int ParseHttpStatus(const std::string& headers);
// The trimmed value of the first header line whose name is `name` (any case), empty when
// there is none.
std::string HeaderValue(const std::string& headers, const std::string& name);
// The body in chunked, Content-Length or until-close framing.
std::string ReadHttpBody(ByteStream& stream, const std::string& headers);

}  // namespace larkspire
