#include "devhub/update_api.h"

#include <stdexcept>

#include "util/file.h"
#include "util/json.h"
#include "util/sha256.h"

namespace larkspire {

namespace {

// The digest of the package as it is now (it may be replaced while the devhub runs); empty
// when there is no package to serve.
std::string AnnouncedDigest(const UpdateOffer& offer) {
  if (!offer.sha256Override.empty()) {
    return offer.sha256Override;
  }
  const std::string package = offer.packageFile.empty() ? "" : ReadFile(offer.packageFile);
  return package.empty() ? "" : Sha256Hex(package);
}

}  // namespace

void AppendUpdateOptions(std::vector<OptionSpec>& table, UpdateOffer& offer) {
  table.push_back({"--update-version", "VERSION", "offer this edge version as an update",
                   [&offer](const std::string& value) {
                     if (value.empty()) {
                       throw std::invalid_argument("The update version must not be empty.");
                     }
                     offer.version = value;
                   }});
  table.push_back({"--update-force", "", "mark the offered update as forced",
                   [&offer](const std::string&) { offer.force = true; }});
  table.push_back({"--update-package", "FILE",
                   std::string("gzip-compressed tar archive served at ") + kUpdatePackageUrl,
                   [&offer](const std::string& value) { offer.packageFile = value; }});
  table.push_back({"--update-sha256", "HEX",
                   "announce this SHA-256 digest instead of the package's own",
                   [&offer](const std::string& value) { offer.sha256Override = value; }});
}

void AddUpdateRoutes(DevHubServer& server, const UpdateOffer& offer) {
  server.Route("GET", "/api/updates/linux-edge", [&offer](const HttpRequest& request, Connection&) {
    return HandleUpdateCheck(offer, request);
  });
  server.Route("GET", kUpdatePackageUrl, [&offer](const HttpRequest& request, Connection&) {
    return HandlePackageDownload(offer, request);
  });
}

HttpResponse HandleUpdateCheck(const UpdateOffer& offer, const HttpRequest&) {
  const bool available = !offer.version.empty();
  std::string data = std::string("{\"updateAvailable\":") + (available ? "true" : "false") +
                     ",\"force\":" + (available && offer.force ? "true" : "false") +
                     ",\"version\":" + JsonString(offer.version) +
                     ",\"downloadUrl\":" + JsonString(available ? kUpdatePackageUrl : "");
  const std::string digest = available ? AnnouncedDigest(offer) : "";
  if (!digest.empty()) {
    data += ",\"sha256\":" + JsonString(digest);
  }
  data += "}";
  return OkEnvelope(available ? "Update available." : "No update.", data);
}

HttpResponse HandlePackageDownload(const UpdateOffer& offer, const HttpRequest&) {
  std::string package = offer.packageFile.empty() ? "" : ReadFile(offer.packageFile);
  if (package.empty()) {
    return ErrorEnvelope(404, "NO_PACKAGE", "No update package is on offer.");
  }
  HttpResponse response;
  response.contentType = "application/gzip";
  response.body = std::move(package);
  return response;
}

}  // namespace larkspire
