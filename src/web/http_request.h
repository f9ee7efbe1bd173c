#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace larkspire {

// Pure request and response text handling of the local web server: no I/O, so tests call
// it directly on buffers.

// The largest request (headers and body) the server accepts.
inline constexpr size_t kMaxRequestBytes = 1048576;

// One request as received. `head` is the request line and the header lines (without the
// blank line); it is the whole text when the blank line never arrived.
struct WebRequest {
  std::string method;
  std::string target;
  std::string version;
  std::string path;  // the target up to its first "?"
  std::string head;
  std::string body;  // everything after the first blank line, not cut to Content-Length
};

WebRequest ParseHttpRequest(const std::string& raw);

// Trimmed values of every header line named `name` (case-insensitive), in order. Only real
// header lines count: the name must start a line of the head and be followed by ":".
std::vector<std::string> RequestHeaderValues(const std::string& head, const std::string& name);

// The body length announced by the first Content-Length header: 0 when absent or not a
// number, negative values as given, very large values clamped so they still read as large.
long long AnnouncedContentLength(const std::string& head);

// True when a Cookie header carries the pair name=value; the header is taken as a
// "; "-separated cookie list and the value is compared in constant time.
bool HasCookie(const std::string& head, const std::string& name, const std::string& value);

// The byte count asked for by the log view: the first "bytes" query parameter, 32768 when
// absent or without digits, never more than 262144.
size_t LogByteCount(const std::string& target);

// One complete response: status line ending in " OK" for every code, the fixed headers, the
// extra header text (each line with its own CRLF), a blank line and the body.
std::string FormatHttpResponse(int status, const std::string& contentType, const std::string& body,
                               const std::string& extraHeaders);

}  // namespace larkspire
