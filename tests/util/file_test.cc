#include "util/file.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.h"

namespace larkspire {
namespace {

class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : previous_(::umask(mask)) {}
  ~ScopedUmask() { ::umask(previous_); }

 private:
  mode_t previous_;
};

// The message WriteFileAtomic throws, or "" when it does not throw.
std::string WriteError(const std::string& path, const std::string& contents, unsigned int mode) {
  try {
    WriteFileAtomic(path, contents, mode);
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "";
}

// Runs `scenario` in a forked child that has a private mount namespace with a small tmpfs
// mounted on `mountPoint`, so mounts never reach the host. The scenario returns "" when all
// is well, or what went wrong; the child prints that, and true means it had nothing to say.
bool InPrivateTmpfs(const std::string& mountPoint, const char* options,
                    const std::function<std::string()>& scenario) {
  pid_t child = ::fork();
  if (child == 0) {
    std::string problem;
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("larkspire-test", mountPoint.c_str(), "tmpfs", 0, options) != 0) {
      problem = std::string("needs root to mount a private tmpfs: ") + std::strerror(errno);
    } else {
      try {
        problem = scenario();
      } catch (const std::exception& error) {
        problem = std::string("unexpected exception: ") + error.what();
      }
    }
    if (!problem.empty()) {
      std::fprintf(stderr, "private tmpfs scenario: %s\n", problem.c_str());
    }
    ::_exit(problem.empty() ? 0 : 1);
  }
  int status = 0;
  return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

TEST(WriteFileAtomicTest, CreatesMissingDirectoriesAndReadsBackTheExactBytes) {
  TempDir dir;
  ScopedUmask normal(022);
  const std::string path = dir / "var/lib/larkspire/edge.state.json";
  const std::string binary("a\0b\0\xFF\n", 6);
  WriteFileAtomic(path, binary, 0644);
  EXPECT_EQ(ReadFile(path), binary);
  EXPECT_EQ(FileMode(dir / "var"), 0755);
  EXPECT_EQ(FileMode(dir / "var/lib/larkspire"), 0755);
  EXPECT_FALSE(FileExists(path + ".tmp"));

  // Missing, empty and directory paths all read as "".
  WriteFileAtomic(dir / "empty", "", 0644);
  for (const std::string& empty : {dir / "missing", dir / "empty", dir.path()}) {
    SCOPED_TRACE(empty);
    EXPECT_EQ(ReadFile(empty), "");
  }
}

TEST(WriteFileAtomicTest, ReplacementGetsExactlyTheRequestedModeWhateverTheUmask) {
  TempDir dir;
  const std::string path = dir / "file";
  // Each write replaces the previous file, so a narrower mode must not inherit a wider one.
  struct Case {
    mode_t umask;
    unsigned int mode;
    const char* contents;
  } cases[] = {{077, 0644, "first"}, {0, 0666, "second, longer"}, {022, 0600, "third"},
               {0777, 0644, "4"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "umask " << std::oct << c.umask << " mode " << c.mode);
    ScopedUmask mask(c.umask);
    WriteFileAtomic(path, c.contents, c.mode);
    EXPECT_EQ(FileMode(path), static_cast<int>(c.mode));
    EXPECT_EQ(ReadFile(path), c.contents);
  }
}

TEST(WriteFileAtomicTest, LeftoverTemporaryFileIsReplacedNotFollowed) {
  TempDir dir;
  const std::string path = dir / "edge.json";
  // A stale temporary (even a link to somewhere else) must not receive the secret.
  WriteFileAtomic(dir / "elsewhere", "keep", 0644);
  ASSERT_EQ(::symlink((dir / "elsewhere").c_str(), (path + ".tmp").c_str()), 0);
  WriteFileAtomic(path, "secret", 0600);
  EXPECT_EQ(ReadFile(path), "secret");
  EXPECT_EQ(ReadFile(dir / "elsewhere"), "keep");
  EXPECT_EQ(FileMode(path), 0600);
}

TEST(WriteFileAtomicTest, ErrorsNameTheStepThatFailed) {
  TempDir dir;
  WriteFileAtomic(dir / "plain", "x", 0644);
  const std::string underFile = dir / "plain/edge.json";
  EXPECT_EQ(WriteError(underFile, "x", 0600), "Failed to write " + underFile + ".tmp");

  const std::string taken = dir / "taken";
  ASSERT_EQ(::mkdir(taken.c_str(), 0755), 0);
  EXPECT_EQ(WriteError(taken, "x", 0644), "Failed to replace " + taken + ": Is a directory");
  EXPECT_FALSE(FileExists(taken + ".tmp"));  // it may hold a secret
}

TEST(WriteFileAtomicTest, FullDiskOrReadOnlyFileSystemKeepsTheOldFile) {
  TempDir dir;
  const std::string path = dir / "edge.json";
  EXPECT_TRUE(InPrivateTmpfs(dir.path(), "size=64k,mode=0755", [&]() -> std::string {
    WriteFileAtomic(path, "old", 0600);
    std::string error = WriteError(path, std::string(1 << 20, 'x'), 0600);
    if (error != "Failed to write " + path + ".tmp") {
      return "full disk: unexpected error text: '" + error + "'";
    }
    if (FileExists(path + ".tmp")) {
      return "full disk: temporary file left behind";
    }
    if (ReadFile(path) != "old") {
      return "full disk: old file changed";
    }
    if (::mount(nullptr, dir.path().c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
      return std::string("remount failed: ") + std::strerror(errno);
    }
    error = WriteError(path, "new", 0644);
    if (error != "Failed to write " + path + ".tmp") {
      return "read-only: unexpected error text: '" + error + "'";
    }
    return ReadFile(path) == "old" ? "" : "read-only: old file changed";
  })) << "the child's report is on standard error";
}

TEST(WriteFileAtomicTest, ConcurrentWritersOfOnePathNeverMix) {
  TempDir dir;
  const std::string path = dir / "edge.json";
  std::vector<std::string> contents, errors(6);
  std::vector<std::thread> writers;
  for (int t = 0; t < 6; ++t) {
    contents.push_back(std::string(64 * 1024, static_cast<char>('a' + t)));
  }
  for (size_t t = 0; t < contents.size(); ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < 20 && errors[t].empty(); ++i) {
        errors[t] = WriteError(path, contents[t], 0600);
      }
    });
  }
  for (auto& writer : writers) {
    writer.join();
  }
  EXPECT_EQ(errors, std::vector<std::string>(6));
  EXPECT_NE(std::find(contents.begin(), contents.end(), ReadFile(path)), contents.end());
  EXPECT_FALSE(FileExists(path + ".tmp"));
}

TEST(EnsureDirectoryTest, BuildsRelativeChainsLikeMkdirP) {
  TempDir dir;
  ScopedUmask normal(022);
  char previous[4096];
  ASSERT_NE(::getcwd(previous, sizeof(previous)), nullptr);
  ASSERT_EQ(::chdir(dir.path().c_str()), 0);
  EnsureDirectory("a/b//c/");
  EnsureDirectory("a/b//c/");  // existing directories are passed over
  EnsureDirectory("");
  EnsureDirectory("/tmp");
  ASSERT_EQ(::chdir(previous), 0);
  for (const char* sub : {"a", "a/b", "a/b/c"}) {
    SCOPED_TRACE(sub);
    EXPECT_EQ(FileMode(dir / sub), 0755);
  }
}

}  // namespace
}  // namespace larkspire
