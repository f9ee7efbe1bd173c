#include "web/http_request.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "util/text.h"
#include "web/session_token.h"

namespace larkspire {
namespace {

constexpr size_t kDefaultLogBytes = 32768;
constexpr size_t kMaxLogBytes = 262144;

std::string Lower(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return text;
}

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
  std::string wanted = Lower(name) + ":";
  size_t start = head.find("\r\n");  // the request line is not a header
  while (start != std::string::npos) {
    start += 2;
    size_t end = head.find("\r\n", start);
    std::string line = head.substr(start, end == std::string::npos ? end : end - start);
    if (Lower(line.substr(0, wanted.size())) == wanted) {
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

bool HasCookie(const std::string& head, const std::string& name, const std::string& value) {
  bool found = false;
  for (const std::string& header : RequestHeaderValues(head, "Cookie")) {
    for (const std::string& piece : Split(header, ';')) {
      std::string pair = Trim(piece);
      size_t equals = pair.find('=');
      if (equals == std::string::npos || Trim(pair.substr(0, equals)) != name) {
        continue;
      }
      // Every candidate is compared in full, so the answer takes the same time wherever a
      // match sits in the list.
      found = ConstantTimeEquals(Trim(pair.substr(equals + 1)), value) || found;
    }
  }
  return found;
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

std::string FormatHttpResponse(int status, const std::string& contentType, const std::string& body,
                               const std::string& extraHeaders) {
  std::string response = "HTTP/1.1 " + std::to_string(status) + " OK\r\n";
  response += "Content-Type: " + contentType + "\r\n";
  response += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  response += "Connection: close\r\n";
  response += extraHeaders;
  response += "\r\n";
  response += body;
  return response;
}

}  // namespace larkspire
