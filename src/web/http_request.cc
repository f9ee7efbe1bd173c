#include "web/http_request.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "util/text.h"

namespace larkspire {
namespace {

constexpr size_t kDefaultLogBytes = 32768;
constexpr size_t kMaxLogBytes = 262144;

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> pieces;
  size_t start = 0;
  while (true) {
    size_t end = text.find(separator, start);
    pieces.push_back(text.substr(start, end - start));
    if (end == std::string::npos) {
      return pieces;
    }
    start = end + 1;
  }
}

}  // namespace

WebRequest ParseHttpRequest(const std::string& raw) {
  WebRequest request;
  size_t blank = raw.find("\r\n\r\n");
  request.head = blank == std::string::npos ? raw : raw.substr(0, blank);
  if (blank != std::string::npos) {
    request.body = raw.substr(blank + 4);
  }
  std::istringstream line(raw.substr(0, raw.find("\r\n")));
  line >> request.method >> request.target >> request.version;
  request.path = request.target.substr(0, request.target.find('?'));
  return request;
}

std::vector<std::string> RequestHeaderValues(const std::string& head, const std::string& name) {
  std::vector<std::string> values;
  std::string wanted = AsciiLower(name) + ":";
  size_t start = head.find("\r\n");  // the request line is not a header
  while (start != std::string::npos) {
    start += 2;
    size_t end = head.find("\r\n", start);
    std::string line = head.substr(start, end == std::string::npos ? end : end - start);
    if (AsciiLower(line.substr(0, wanted.size())) == wanted) {
      values.push_back(Trim(line.substr(wanted.size())));
    }
    start = end;
  }
  return values;
}

long long AnnouncedContentLength(const std::string& head) {
  std::vector<std::string> values = RequestHeaderValues(head, "Content-Length");
  if (values.empty()) {
    return 0;
  }
  errno = 0;
  char* end = nullptr;
  long long length = std::strtoll(values.front().c_str(), &end, 10);
  if (end == values.front().c_str()) {
    return 0;
  }
  // strtoll saturates on overflow, which keeps a huge announcement huge.
  return length;
}

std::vector<std::string> CookieValues(const std::string& head, const std::string& name) {
  std::vector<std::string> values;
  for (const std::string& header : RequestHeaderValues(head, "Cookie")) {
    for (const std::string& piece : Split(header, ';')) {
      std::string pair = Trim(piece);
      size_t equals = pair.find('=');
      if (equals != std::string::npos && Trim(pair.substr(0, equals)) == name) {
        values.push_back(Trim(pair.substr(equals + 1)));
      }
    }
  }
  return values;
}

size_t LogByteCount(const std::string& target) {
  size_t question = target.find('?');
  if (question == std::string::npos) {
    return kDefaultLogBytes;
  }
  for (const std::string& piece : Split(target.substr(question + 1), '&')) {
    size_t equals = piece.find('=');
    if (piece.substr(0, equals) != "bytes") {
      continue;
    }
    std::string digits = equals == std::string::npos ? "" : piece.substr(equals + 1);
    char* end = nullptr;
    errno = 0;
    unsigned long long count = std::strtoull(digits.c_str(), &end, 10);
    if (end == digits.c_str()) {
      return kDefaultLogBytes;
    }
    // A leading minus makes strtoull wrap around to a huge count; it ends at the cap too.
    return count > kMaxLogBytes || errno == ERANGE ? kMaxLogBytes : static_cast<size_t>(count);
  }
  return kDefaultLogBytes;
}

WebReply JsonReply(int status, std::string body, std::string extraHeaders) {
  WebReply reply;
  reply.status = status;
  reply.body = std::move(body);
  reply.extraHeaders = std::move(extraHeaders);
  return reply;
}

std::string FormatHttpResponse(const WebReply& reply) {
  // Scripts only from this server (no inline script, so injected markup cannot run any),
  // never inside another site's frame, no referrer leaking the page's address, and no copy
  // of a page or an API answer left in a cache.
  static const std::string kFixedHeaders =
      "Connection: close\r\n"
      "Content-Security-Policy: default-src 'none'; script-src 'self'; connect-src 'self'; "
      "style-src 'unsafe-inline'; img-src 'self'; base-uri 'none'; form-action 'none'; "
      "frame-ancestors 'none'\r\n"
      "X-Frame-Options: DENY\r\n"
      "X-Content-Type-Options: nosniff\r\n"
      "Referrer-Policy: no-referrer\r\n"
      "Cache-Control: no-store\r\n";
  std::string response = "HTTP/1.1 " + std::to_string(reply.status) + " OK\r\n";
  response += "Content-Type: " + reply.contentType + "\r\n";
  response += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
  response += kFixedHeaders;
  response += reply.extraHeaders;
  response += "\r\n";
  response += reply.body;
  return response;
}

}  // namespace larkspire
