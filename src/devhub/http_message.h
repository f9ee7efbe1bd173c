#pragma once

#include <optional>
#include <string>

namespace larkspire {

// One request as the devhub received it. The body is read only by Content-Length.
struct HttpRequest {
  std::string method;
  std::string target;   // as sent, query included
  std::string path;     // target before "?", still percent-encoded
  std::string query;    // target after "?", empty when none
  std::string headers;  // raw header block, request line and blank line included
  std::string body;
  std::string peer;  // "address:port" of the client, for the log
};

// A reply the server frames with Content-Length and "Connection: close".
struct HttpResponse {
  int status = 200;
  std::string contentType = "application/json";
  std::string body;
  std::string extraHeaders;  // complete "Name: value\r\n" lines, for special replies
};

// Splits "METHOD TARGET HTTP/1.x" off a header block into `request`; false when the
// request line is malformed (the target must start with "/").
bool ParseRequestLine(const std::string& headers, HttpRequest& request);

// The value of `name` in a query ("a=1&b=x%20y"), percent-decoded; nullopt when absent.
std::optional<std::string> QueryParam(const std::string& query, const std::string& name);
// Percent-decoding of a path segment or query value ("+" stays "+"); nullopt when a "%" is
// not followed by two hexadecimal digits.
std::optional<std::string> PercentDecode(const std::string& text);

// The status line, headers and body, ready to send.
std::string SerializeResponse(const HttpResponse& response);

// The Hub's envelope {"success","code","message","data"}; `dataJson` is raw JSON text.
HttpResponse Envelope(int status, bool success, const std::string& code, const std::string& message,
                      const std::string& dataJson = "null");
HttpResponse OkEnvelope(const std::string& message, const std::string& dataJson = "null");
HttpResponse ErrorEnvelope(int status, const std::string& code, const std::string& message);

}  // namespace larkspire
