#include "util/file.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include "support/temp_dir.h"
#include "util/test_errors.h"

namespace larkspire {
namespace {

// The message WriteFileAtomic throws, or "<no exception>".
std::string WriteError(const std::string& path, const std::string& contents, unsigned mode) {
  return testing::ErrorOf<std::runtime_error>([&] { WriteFileAtomic(path, contents, mode); });
}

// A stale temporary (here a link elsewhere) is not followed; no temporary stays behind.
TEST(WriteFileAtomicTest, ReplacesWithExactlyTheBytesAndModeAsked) {
  TempDir dir;
  const std::string path = dir / "var/lib/edge.json";
  const std::tuple<mode_t, unsigned, std::string> cases[] = {
      {022, 0600, std::string("a\0\xFF\n", 4)}, {077, 0644, "second, longer"}, {0, 0666, "3"}};
  for (const auto& [umask, mode, contents] : cases) {
    const mode_t previous = ::umask(umask);
    WriteFileAtomic(path, contents, mode);
    ::umask(previous);
    EXPECT_EQ(FileMode(path), static_cast<int>(mode));
    EXPECT_EQ(ReadFile(path), contents);
  }
  EXPECT_EQ(FileMode(dir / "var/lib"), 0755);
  WriteFileAtomic(dir / "elsewhere", "keep", 0644);
  ASSERT_EQ(::symlink((dir / "elsewhere").c_str(), (path + ".tmp").c_str()), 0);
  WriteFileAtomic(path, "secret", 0600);
  EXPECT_EQ(ReadFile(path) + ReadFile(dir / "elsewhere"), "secretkeep");
  EXPECT_FALSE(FileExists(path + ".tmp"));
  ASSERT_EQ(::mkdir((dir / "taken").c_str(), 0755), 0);
  EXPECT_EQ(WriteError(dir / "taken", "x", 0644),
            "Failed to replace " + dir / "taken" + ": Is a directory");
  EXPECT_FALSE(FileExists(dir / "taken.tmp"));
}

// A small tmpfs in a child's private mount namespace fills up, then turns read-only.
TEST(WriteFileAtomicTest, FullDiskOrReadOnlyFileSystemKeepsTheOldFile) {
  TempDir dir;
  const std::string path = dir / "edge.json";
  const pid_t child = ::fork();
  if (child == 0) {
    bool ok = ::unshare(CLONE_NEWNS) == 0 &&
              ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
              ::mount("larkspire-test", dir.path().c_str(), "tmpfs", 0, "size=64k") == 0;
    ok = ok && WriteError(path, "old", 0600) == "<no exception>" &&
         WriteError(path, std::string(1 << 20, 'x'), 0600) == "Failed to write " + path + ".tmp" &&
         !FileExists(path + ".tmp") && ReadFile(path) == "old";
    ok = ok &&
         ::mount(nullptr, dir.path().c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0 &&
         WriteError(path, "new", 0644) != "<no exception>" && ReadFile(path) == "old";
    ::_exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "needs root; or the old file changed";
}

}  // namespace
}  // namespace larkspire
