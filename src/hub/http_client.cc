#include "hub/http_client.h"

#include <fcntl.h>

#include <stdexcept>

#include "hub/http_reader.h"
#include "hub/hub_connection.h"
#include "hub/url.h"
#include "util/fd.h"
#include "util/file.h"
#include "util/json.h"

namespace larkspire {
namespace {

std::string HostHeader(const std::string& host, int port) {
  std::string line = "Host: " + host;
  if (port != 80) {
    line += ":" + std::to_string(port);
  }
  return line + "\r\n";
}

}  // namespace

std::string BuildApiRequest(const std::string& method, const std::string& host, int port,
                            const std::string& path, const std::string& body) {
  const std::string target = !path.empty() && path[0] == '/' ? path : "/" + path;
  std::string request = method + " " + target + " HTTP/1.1\r\n" + HostHeader(host, port);
  const bool withBody = method == "POST";
  if (withBody) {
    request += "Content-Type: application/json\r\n";
    request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  }
  request += "Connection: close\r\n\r\n";
  if (withBody) {
    request += body;
  }
  return request;
}

std::string BuildDownloadRequest(const std::string& host, int port, const std::string& target) {
  return "GET " + target + " HTTP/1.1\r\n" + HostHeader(host, port) + "Connection: close\r\n\r\n";
}

ApiResponse MakeApiResponse(int status, std::string body) {
  ApiResponse response;
  response.status = status;
  const std::string verdict = JsonFindRaw(body, "success");
  if (verdict == "true" || verdict == "false") {
    response.success = verdict == "true";
  } else {
    response.success = status >= 200 && status <= 299;
  }
  response.code = JsonStringValue(body, "code", "");
  response.message = JsonStringValue(body, "message", "");
  response.data = JsonFindRaw(body, "data");
  response.body = std::move(body);
  return response;
}

HttpClient::HttpClient(std::string baseUrl, HubTrust trust)
    : baseUrl_(NormalizeServerUrl(std::move(baseUrl))), trust_(std::move(trust)) {}

ApiResponse HttpClient::Send(const std::string& method, const std::string& path,
                             const std::string& body) const {
  const ParsedUrl url = ParseUrl(baseUrl_);
  const std::unique_ptr<ByteStream> hub = ConnectHub(url, trust_);
  const std::string request = BuildApiRequest(method, url.host, url.port, path, body);
  if (!hub->SendAll(request.data(), request.size())) {
    throw std::runtime_error("HTTP send failed.");
  }
  const std::string headers = ReadHttpHeaders(*hub);
  std::string replyBody;
  try {
    replyBody = ReadHttpBody(*hub, headers, kMaxHubReplyBytes);
  } catch (const HttpError& error) {
    if (error.kind() == HttpErrorKind::kBodyTooLarge) {
      throw HttpError(error.kind(), "Hub reply too large.");
    }
    throw;
  }
  return MakeApiResponse(ParseHttpStatus(headers), std::move(replyBody));
}

bool HttpClient::Download(const std::string& urlOrPath, const std::string& destination,
                          size_t maxBytes) const {
  const std::string source = urlOrPath.find("://") != std::string::npos
                                 ? urlOrPath
                                 : NormalizeServerUrl(baseUrl_) + urlOrPath;
  const ParsedUrl url = ParseUrl(source);
  // The package must come as well guarded as the offer that named it.
  if (IsTlsScheme(ParseUrl(baseUrl_).scheme) && !IsTlsScheme(url.scheme)) {
    throw std::runtime_error("Download refused: the Hub link is https but the package URL is "
                             "not.");
  }
  const std::unique_ptr<ByteStream> hub = ConnectHub(url, trust_);
  const std::string request = BuildDownloadRequest(url.host, url.port, url.path);
  if (!hub->SendAll(request.data(), request.size())) {
    return false;
  }
  const std::string headers = ReadHttpHeaders(*hub);
  const int status = ParseHttpStatus(headers);
  if (status < 200 || status > 299) {
    return false;
  }
  UniqueFd file(
      ::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file.valid()) {
    return false;
  }
  bool written = true;
  ReadHttpBody(*hub, headers, maxBytes,
               [&](std::string_view piece) { written = written && WriteAll(file.get(), piece); });
  return written && file.Close() == 0;
}

}  // namespace larkspire
