#pragma once

#include <string>
#include <string_view>

namespace larkspire {

// The whole file, byte for byte; the empty string when it cannot be opened (or is empty).
std::string ReadFile(const std::string& path);

// Writes every byte to the descriptor, resuming after partial writes and EINTR.
bool WriteAll(int fd, std::string_view contents);

// Replaces the file through a ".tmp" sibling and a rename, so readers see the old or the
// new contents, never a mix. The temporary file carries `mode` from its creation, is synced
// before the rename and the directory after it. Writers inside this process are serialised.
// Throws "Failed to write <tmp>" (the temporary file is removed) or
// "Failed to replace <path>: <reason>".
void WriteFileAtomic(const std::string& path, const std::string& contents, unsigned int mode);

// mkdir -p with mode 0755; failures are silent (they show when a file inside is created).
void EnsureDirectory(const std::string& path);

}  // namespace larkspire
