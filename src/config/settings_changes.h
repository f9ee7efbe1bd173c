#pragma once

#include <string>

#include "config/settings.h"

namespace larkspire {

// Saves the fields of `mine` that differ from `base` (the record as it was read) into the
// configuration file as it stands now, under ConfigFileMutex. The web page may have saved
// the file in the meantime, a new password say; writing the whole of `mine` would quietly
// undo that. A field changed on both sides takes `mine`, the later write. A file that has
// gone missing is written afresh from `mine`.
void SaveSettingsChanges(const std::string& path, const Settings& base, const Settings& mine);

}  // namespace larkspire
