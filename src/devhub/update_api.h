#pragma once

#include <string>
#include <vector>

#include "devhub/http_message.h"
#include "devhub/options.h"
#include "devhub/server.h"

namespace larkspire {

// Where the devhub serves the offered package.
inline constexpr const char* kUpdatePackageUrl = "/downloads/larkspire-edge.tar.gz";

// The update the devhub offers to every edge that asks, as set on its command line. The
// devhub does not compare versions: the edge decides whether the offer is newer, so any
// version can be offered to try that decision out.
struct UpdateOffer {
  std::string version;  // empty: nothing on offer
  bool force = false;
  std::string packageFile;  // read at each download, so it can be replaced while running
  // Announced instead of the package's own digest, to try out the edge's check.
  std::string sha256Override;
  // PEM Ed25519 private key that signs the package at each offer; empty: offers are unsigned.
  std::string signingKeyPem;
  // Announced instead of the package's own signature, to try out the edge's check.
  std::string signatureOverride;
  // --print-update-public-key: the key file whose public half to print instead of serving.
  std::string printPublicKeyOf;
};

// --update-version VERSION, --update-force, --update-package FILE, --update-sha256 HEX,
// --update-signing-key FILE, --update-signature BASE64 and --print-update-public-key FILE.
void AppendUpdateOptions(std::vector<OptionRow>& table, UpdateOffer& offer);

// The update rows of the Hub contract: the update check and the package download.
void AddUpdateRoutes(DevHubServer& server, const UpdateOffer& offer);

// GET /api/updates/linux-edge?currentVersion=...
HttpResponse HandleUpdateCheck(const UpdateOffer& offer, const HttpRequest& request);
// GET /downloads/larkspire-edge.tar.gz
HttpResponse HandlePackageDownload(const UpdateOffer& offer, const HttpRequest& request);

}  // namespace larkspire
