#include "config/state_file.h"

#include "util/clock.h"
#include "util/file.h"
#include "util/json.h"

namespace larkspire {

std::string FormatState(const std::string& message, bool accepted, int64_t unixTime) {
  std::string text = "{\n";
  text += std::string("  \"heartbeatAccepted\": ") + (accepted ? "true" : "false") + ",\n";
  text += "  \"message\": " + JsonString(message) + ",\n";
  text += "  \"updatedAtUnix\": " + std::to_string(unixTime) + "\n";
  text += "}\n";
  return text;
}

void SaveStateTo(const std::string& path, const std::string& message, bool accepted) {
  WriteFileAtomic(path, FormatState(message, accepted, UnixSeconds()), 0644);
}

void SaveState(const std::string& message, bool accepted) {
  SaveStateTo(kStateFilePath, message, accepted);
}

}  // namespace larkspire
