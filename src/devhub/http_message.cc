#include "devhub/http_message.h"

#include <cctype>

#include "util/json.h"

namespace larkspire {
namespace {

const char* ReasonPhrase(int status) {
  switch (status) {
    case 101:
      return "Switching Protocols";
    case 200:
      return "OK";
    case 204:
      return "No Content";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 408:
      return "Request Timeout";
    case 413:
      return "Payload Too Large";
    case 500:
      return "Internal Server Error";
    case 503:
      return "Service Unavailable";
    default:
      return "Status";
  }
}

int HexValue(char c) {
  if (std::isdigit(static_cast<unsigned char>(c))) {
    return c - '0';
  }
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

}  // namespace

bool ParseRequestLine(const std::string& headers, HttpRequest& request) {
  const std::string line = headers.substr(0, headers.find("\r\n"));
  const size_t first = line.find(' ');
  const size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
  if (first == 0 || second == std::string::npos ||
      line.find(' ', second + 1) != std::string::npos ||
      line.compare(second + 1, 7, "HTTP/1.") != 0) {
    return false;
  }
  request.method = line.substr(0, first);
  request.target = line.substr(first + 1, second - first - 1);
  if (request.target.empty() || request.target[0] != '/') {
    return false;
  }
  const size_t question = request.target.find('?');
  request.path = request.target.substr(0, question);
  request.query = question == std::string::npos ? "" : request.target.substr(question + 1);
  return true;
}

std::optional<std::string> PercentDecode(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) {
      return std::nullopt;
    }
    const int high = HexValue(text[i + 1]);
    const int low = HexValue(text[i + 2]);
    if (high < 0 || low < 0) {
      return std::nullopt;
    }
    out.push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  return out;
}

std::optional<std::string> QueryParam(const std::string& query, const std::string& name) {
  size_t start = 0;
  while (start <= query.size()) {
    size_t end = query.find('&', start);
    if (end == std::string::npos) {
      end = query.size();
    }
    const std::string pair = query.substr(start, end - start);
    const size_t equals = pair.find('=');
    if (pair.substr(0, equals) == name) {
      return PercentDecode(equals == std::string::npos ? "" : pair.substr(equals + 1));
    }
    start = end + 1;
  }
  return std::nullopt;
}

std::string SerializeResponse(const HttpResponse& response) {
  std::string out =
      "HTTP/1.1 " + std::to_string(response.status) + " " + ReasonPhrase(response.status) + "\r\n";
  if (!response.contentType.empty()) {
    out += "Content-Type: " + response.contentType + "\r\n";
  }
  out += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
  out += response.extraHeaders;
  out += "Connection: close\r\n\r\n";
  out += response.body;
  return out;
}

HttpResponse Envelope(int status, bool success, const std::string& code, const std::string& message,
                      const std::string& dataJson) {
  HttpResponse response;
  response.status = status;
  response.body = std::string("{\"success\":") + (success ? "true" : "false") +
                  ",\"code\":" + JsonString(code) + ",\"message\":" + JsonString(message) +
                  ",\"data\":" + (dataJson.empty() ? "null" : dataJson) + "}";
  return response;
}

HttpResponse OkEnvelope(const std::string& message, const std::string& dataJson) {
  return Envelope(200, true, "OK", message, dataJson);
}

HttpResponse ErrorEnvelope(int status, const std::string& code, const std::string& message) {
  return Envelope(status, false, code, message);
}

}  // namespace larkspire
