#pragma once

#include <cstddef>
#include <functional>
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

// The values of every cookie called `name` in the Cookie headers, in order; each header is
// taken as a "; "-separated cookie list.
std::vector<std::string> CookieValues(const std::string& head, const std::string& name);

// The byte count asked for by the log view: the first "bytes" query parameter, 32768 when
// absent or without digits, never more than 262144.
size_t LogByteCount(const std::string& target);

inline constexpr const char* kJsonContentType = "application/json; charset=utf-8";

// One reply as a handler makes it. `afterSent` runs once the reply has been written (or
// could not be), for work that must not begin before the browser has its answer.
struct WebReply {
  int status = 200;
  std::string contentType = kJsonContentType;
  std::string body;
  std::string extraHeaders;  // each line with its own CRLF
  std::function<void()> afterSent;
};

WebReply JsonReply(int status, std::string body, std::string extraHeaders = "");

// One complete response: status line ending in " OK" for every code, the fixed headers
// (among them the ones that keep the page out of frames, caches and other sites' scripts),
// the extra header text, a blank line and the body.
std::string FormatHttpResponse(const WebReply& reply);

}  // namespace larkspire
