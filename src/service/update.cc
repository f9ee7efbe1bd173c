#include "service/update.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "config/settings.h"
#include "hub/http_reader.h"
#include "service/hub_client.h"
#include "service/update_integrity.h"
#include "util/command.h"
#include "util/json.h"
#include "util/logger.h"
#include "util/run_flag.h"
#include "util/signature.h"
#include "util/text.h"

namespace larkspire {
namespace {

// How long the new executable may take to answer --help before it counts as broken.
constexpr int kHelpProbeSeconds = 30;

// The numbers of a version text as digit strings without leading zeros, so that runs of any
// length compare by value without overflowing.
std::vector<std::string> VersionNumbers(const std::string& text) {
  std::vector<std::string> numbers;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] < '0' || text[i] > '9') {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') {
      ++end;
    }
    size_t first = text.find_first_not_of('0', i);
    numbers.push_back(first < end ? text.substr(first, end - first) : std::string());
    i = end;
  }
  return numbers;
}

// Compares two numbers given as digit strings without leading zeros ("" is zero).
int CompareNumberText(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) {
    return a.size() < b.size() ? -1 : 1;
  }
  int order = a.compare(b);
  return order == 0 ? 0 : (order < 0 ? -1 : 1);
}

std::string ExecutablePath() {
  char buffer[4096];
  ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  if (length < 1) {
    return kDefaultExecutablePath;
  }
  std::string path(buffer, static_cast<size_t>(length));
  // The kernel marks a file replaced since exec; the new file at that path is still ours.
  const std::string deleted = " (deleted)";
  if (path.size() > deleted.size() && path.ends_with(deleted)) {
    path.resize(path.size() - deleted.size());
  }
  return path;
}

// A private directory for one update attempt. mkdtemp creates it with mode 0700 under a name
// nobody could predict, so no other local user can plant a package or a link in it; the
// destructor removes it with everything inside, whatever the outcome of the attempt.
class UpdateWorkspace {
 public:
  UpdateWorkspace() {
    std::string pattern = std::string(kUpdateDirectoryPrefix) + "XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("Failed to create update directory: " + pattern);
    }
    path_ = pattern;
    if (::mkdir(ExtractDir().c_str(), 0700) != 0) {
      RemoveAll();
      throw std::runtime_error("Failed to create update directory: " + ExtractDir());
    }
  }
  UpdateWorkspace(const UpdateWorkspace&) = delete;
  UpdateWorkspace& operator=(const UpdateWorkspace&) = delete;
  ~UpdateWorkspace() { RemoveAll(); }

  std::string PackagePath() const { return path_ + "/larkspire-edge-update.tar.gz"; }
  std::string ExtractDir() const { return path_ + "/package"; }

 private:
  void RemoveAll() {
    // remove_all deletes symbolic links from the package without following them.
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

  std::string path_;
};

struct UpdateOffer {
  bool updateAvailable = false;
  bool force = false;
  std::string version;
  std::string downloadUrl;
  std::string sha256;     // empty when the Hub sent no digest
  std::string signature;  // base64 Ed25519 signature of the package bytes
};

UpdateOffer ReadOffer(const std::string& data) {
  UpdateOffer offer;
  offer.updateAvailable = JsonBoolValue(data, "updateAvailable", false);
  offer.force = JsonBoolValue(data, "force", false);
  offer.version = JsonStringValue(data, "version", "");
  offer.downloadUrl = JsonStringValue(data, "downloadUrl", "");
  offer.sha256 = JsonStringValue(data, "sha256", "");
  offer.signature = JsonStringValue(data, "signature", "");
  return offer;
}

bool ShouldInstall(const UpdateOffer& offer) {
  if (!offer.updateAvailable || !offer.force || offer.version.empty()) {
    return false;
  }
  return CompareVersionText(offer.version, kEdgeVersion) > 0;
}

void RefuseUnsigned() {
  g_log.Write("ERROR", "Forced update refused: no valid signature.");
}

// Fetches the package into the workspace; false (logged) when it did not arrive whole.
bool DownloadPackage(const HttpClient& client, const UpdateOffer& offer,
                     const UpdateWorkspace& workspace) {
  try {
    if (client.Download(offer.downloadUrl, workspace.PackagePath(), kMaxUpdatePackageBytes)) {
      return true;
    }
  } catch (const HttpError& error) {
    if (error.kind() != HttpErrorKind::kBodyTooLarge) {
      throw;
    }
    g_log.Write("ERROR", "Forced update refused: the package is larger than " +
                             std::to_string(kMaxUpdatePackageBytes >> 20) + " MiB.");
    return false;
  }
  g_log.Write("ERROR", "Forced update download failed: " + offer.downloadUrl);
  return false;
}

// Downloads, verifies, unpacks and installs the offered package; logs the outcome of each
// step. Nothing from the package is unpacked, let alone run, before its signature holds.
void InstallForcedUpdate(const HttpClient& client, const UpdateOffer& offer,
                         const std::string& keyDirectory) {
  g_log.Write("WARN", "Forced update found: " + offer.version + ". Downloading package.");
  const TrustedKeys keys = TrustedKeys::Load(keyDirectory);
  if (keys.empty()) {
    g_log.Write("ERROR", "Forced update refused: no update key installed.");
    return;
  }
  if (offer.signature.empty()) {
    RefuseUnsigned();
    return;
  }
  UpdateWorkspace workspace;
  if (!DownloadPackage(client, offer, workspace)) {
    return;
  }
  // A digest on offer must hold: a package cut short or altered on the way is never unpacked.
  if (!offer.sha256.empty() && !PackageMatchesSha256(workspace.PackagePath(), offer.sha256)) {
    g_log.Write("ERROR", "Forced update checksum mismatch.");
    return;
  }
  if (!keys.VerifiesFile(workspace.PackagePath(), offer.signature)) {
    RefuseUnsigned();
    return;
  }
  int extracted = RunCommand("tar -xzf " + ShellQuote(workspace.PackagePath()) + " -C " +
                             ShellQuote(workspace.ExtractDir()));
  if (extracted != 0) {
    g_log.Write("ERROR", "Forced update package extraction failed.");
    return;
  }
  std::string script = BuildInstallScript(workspace.ExtractDir(), ExecutablePath());
  if (RunCommand("sh -c " + ShellQuote(script)) != 0) {
    g_log.Write("ERROR", "Forced update install command failed.");
    return;
  }
  g_log.Write("WARN", "Forced update installed. Restarting service.");
  g_running.store(false);
}

void CheckForUpdate(const std::string& configPath, const std::string& keyDirectory) {
  Settings settings = LoadSettings(configPath);
  HttpClient client = HubClientFor(settings);
  ApiResponse reply =
      client.Send("GET", "/api/updates/linux-edge?currentVersion=" + UrlEncode(kEdgeVersion), "");
  if (!reply.success) {
    g_log.Write("WARN", "Update check failed: " + reply.message);
    return;
  }
  UpdateOffer offer = ReadOffer(reply.data);
  if (!ShouldInstall(offer)) {
    g_log.Write("INFO", std::string("Update check OK. Current version ") + kEdgeVersion + ".");
    return;
  }
  InstallForcedUpdate(client, offer, keyDirectory);
}

}  // namespace

int CompareVersionText(const std::string& a, const std::string& b) {
  std::vector<std::string> left = VersionNumbers(a);
  std::vector<std::string> right = VersionNumbers(b);
  size_t count = std::max(left.size(), right.size());
  for (size_t i = 0; i < count; ++i) {
    const std::string zero;
    int order =
        CompareNumberText(i < left.size() ? left[i] : zero, i < right.size() ? right[i] : zero);
    if (order != 0) {
      return order;
    }
  }
  // Numerically equal texts such as "1.0.1" and "v1.0.1" are still told apart, byte-wise.
  int order = a.compare(b);
  return order == 0 ? 0 : (order < 0 ? -1 : 1);
}

std::string BuildInstallScript(const std::string& extractDir, const std::string& exePath) {
  const std::string exe = ShellQuote(exePath);
  return "set -e; bin=$(find " + ShellQuote(extractDir) +
         " -type f -name larkspire-edge | head -n 1); test -n \"$bin\"; chmod +x \"$bin\"; " +
         // A file that cannot even print its usage would leave a service that never starts.
         "timeout " + std::to_string(kHelpProbeSeconds) +
         " \"$bin\" --help </dev/null >/dev/null 2>&1; cp \"$bin\" " + exe + ".new; mv " + exe +
         ".new " + exe + "; chmod +x " + exe +
         "; (systemctl restart larkspire-edge >/dev/null 2>&1 || true) &";
}

void RunUpdateCheck(const std::string& configPath, const std::string& keyDirectory) {
  try {
    CheckForUpdate(configPath, keyDirectory);
  } catch (const std::exception& error) {
    g_log.Write("WARN", std::string("Update check exception: ") + error.what());
  }
}

}  // namespace larkspire
