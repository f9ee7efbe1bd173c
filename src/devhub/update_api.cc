#include "devhub/update_api.h"

#include <stdexcept>

#include "util/file.h"
#include "util/json.h"
#include "util/sha256.h"
#include "util/signature.h"

namespace larkspire {

namespace {

// The package as it is now (it may be replaced while the devhub runs); empty when there is
// none to serve.
std::string CurrentPackage(const UpdateOffer& offer) {
  return offer.packageFile.empty() ? "" : ReadFile(offer.packageFile);
}

// The digest and signature members of an offer of `package`, each from its override when set.
std::string IntegrityMembers(const UpdateOffer& offer, const std::string& package) {
  std::string members;
  const std::string digest = !offer.sha256Override.empty() ? offer.sha256Override
                             : package.empty()             ? ""
                                                           : Sha256Hex(package);
  if (!digest.empty()) {
    members += ",\"sha256\":" + JsonString(digest);
  }
  std::string signature = offer.signatureOverride;
  if (signature.empty() && !offer.signingKeyPem.empty() && !package.empty()) {
    signature = SignEd25519Base64(offer.signingKeyPem, package);
  }
  if (!signature.empty()) {
    members += ",\"signature\":" + JsonString(signature);
  }
  return members;
}

// The PEM text of a private signing key file, checked now so a wrong file fails at start.
std::string ReadSigningKey(const std::string& path) {
  const std::string pem = ReadFile(path);
  try {
    Ed25519PublicKeyPem(pem);
  } catch (const std::runtime_error& error) {
    throw std::invalid_argument(path + ": " + error.what());
  }
  return pem;
}

}  // namespace

void AppendUpdateOptions(std::vector<OptionRow>& table, UpdateOffer& offer) {
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
  table.push_back(
      {"--update-signing-key", "FILE",
       "sign the offered package with this Ed25519 private key (PEM)",
       [&offer](const std::string& value) { offer.signingKeyPem = ReadSigningKey(value); }});
  table.push_back({"--update-signature", "BASE64",
                   "announce this signature instead of the package's own",
                   [&offer](const std::string& value) { offer.signatureOverride = value; }});
  table.push_back({"--print-update-public-key", "FILE",
                   "print the public key (PEM) of this private signing key and exit",
                   [&offer](const std::string& value) {
                     ReadSigningKey(value);
                     offer.printPublicKeyOf = value;
                   }});
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
  if (available) {
    data += IntegrityMembers(offer, CurrentPackage(offer));
  }
  data += "}";
  return OkEnvelope(available ? "Update available." : "No update.", data);
}

HttpResponse HandlePackageDownload(const UpdateOffer& offer, const HttpRequest&) {
  std::string package = CurrentPackage(offer);
  if (package.empty()) {
    return ErrorEnvelope(404, "NO_PACKAGE", "No update package is on offer.");
  }
  HttpResponse response;
  response.contentType = "application/gzip";
  response.body = std::move(package);
  return response;
}

}  // namespace larkspire
