#include "util/file.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.h"

namespace larkspire {
namespace {

// Sets the umask for one scope.
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
// is well, or what went wrong; a child that cannot set up the namespace says so.
std::string InPrivateTmpfs(const std::string& mountPoint, const char* options,
                           const std::function<std::string()>& scenario) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) {
    return "pipe failed";
  }
  pid_t child = ::fork();
  if (child == 0) {
    ::close(pipeFds[0]);
    std::string result;
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("larkspire-test", mountPoint.c_str(), "tmpfs", 0, options) != 0) {
      result = std::string("needs root to mount a private tmpfs: ") + std::strerror(errno);
    } else {
      try {
        result = scenario();
      } catch (const std::exception& error) {
        result = std::string("unexpected exception: ") + error.what();
      }
    }
    ssize_t ignored = ::write(pipeFds[1], result.data(), result.size());
    (void)ignored;
    ::_exit(0);
  }
  ::close(pipeFds[1]);
  std::string result;
  char buffer[512];
  ssize_t n;
  while ((n = ::read(pipeFds[0], buffer, sizeof(buffer))) > 0) {
    result.append(buffer, static_cast<size_t>(n));
  }
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (!WIFEXITED(status)) {
    return "child did not exit normally";
  }
  return result;
}

TEST(ReadFileTest, MissingEmptyAndDirectoryReadAsEmpty) {
  TempDir dir;
  EXPECT_EQ(ReadFile(dir / "missing"), "");
  WriteFileAtomic(dir / "empty", "", 0644);
  EXPECT_EQ(ReadFile(dir / "empty"), "");
  EXPECT_EQ(ReadFile(dir.path()), "");
  const std::string binary("a\0b\0\xFF\n", 6);
  WriteFileAtomic(dir / "binary", binary, 0644);
  EXPECT_EQ(ReadFile(dir / "binary"), binary);
}

TEST(WriteFileAtomicTest, CreatesMissingDirectoriesAndTheFile) {
  TempDir dir;
  ScopedUmask normal(022);
  const std::string path = dir / "var/lib/larkspire/edge.state.json";
  WriteFileAtomic(path, "{}\n", 0644);
  EXPECT_EQ(ReadFile(path), "{}\n");
  EXPECT_EQ(FileMode(dir / "var"), 0755);
  EXPECT_EQ(FileMode(dir / "var/lib/larkspire"), 0755);
  EXPECT_FALSE(FileExists(path + ".tmp"));
}

TEST(WriteFileAtomicTest, FileGetsExactlyTheRequestedModeWhateverTheUmask) {
  TempDir dir;
  struct Case {
    mode_t umask;
    unsigned int mode;
  } cases[] = {{077, 0644}, {0, 0600}, {022, 0600}, {0777, 0644}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "umask " << std::oct << c.umask << " mode " << c.mode);
    ScopedUmask mask(c.umask);
    const std::string path = dir / "file";
    WriteFileAtomic(path, "x", c.mode);
    EXPECT_EQ(FileMode(path), static_cast<int>(c.mode));
  }
}

TEST(WriteFileAtomicTest, SecretFileReplacesAWiderOne) {
  TempDir dir;
  const std::string path = dir / "edge.json";
  WriteFileAtomic(path, "old", 0666);
  ::chmod(path.c_str(), 0666);
  WriteFileAtomic(path, "new", 0600);
  EXPECT_EQ(FileMode(path), 0600);
  EXPECT_EQ(ReadFile(path), "new");
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

TEST(WriteFileAtomicTest, UncreatableTemporaryThrowsFailedToWrite) {
  TempDir dir;
  WriteFileAtomic(dir / "plain", "x", 0644);
  const std::string path = dir / "plain/edge.json";
  EXPECT_EQ(WriteError(path, "x", 0600), "Failed to write " + path + ".tmp");
}

TEST(WriteFileAtomicTest, DirectoryInTheWayThrowsFailedToReplace) {
  TempDir dir;
  const std::string path = dir / "taken";
  ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
  EXPECT_EQ(WriteError(path, "x", 0644), "Failed to replace " + path + ": Is a directory");
  EXPECT_TRUE(FileExists(path + ".tmp"));
}

TEST(WriteFileAtomicTest, FullDiskKeepsTheOldFileAndLeavesNoTemporary) {
  TempDir dir;
  const std::string path = dir / "edge.json";
  std::string problem = InPrivateTmpfs(dir.path(), "size=64k,mode=0755", [&]() -> std::string {
    WriteFileAtomic(path, "old", 0600);
    std::string error = WriteError(path, std::string(1 << 20, 'x'), 0600);
    if (error != "Failed to write " + path + ".tmp") {
      return "unexpected error text: '" + error + "'";
    }
    if (FileExists(path + ".tmp")) {
      return "temporary file left behind";
    }
    if (ReadFile(path) != "old") {
      return "old file changed";
    }
    return "";
  });
  EXPECT_EQ(problem, "");
}

TEST(WriteFileAtomicTest, ReadOnlyFileSystemKeepsTheOldFile) {
  TempDir dir;
  const std::string path = dir / "edge.state.json";
  std::string problem = InPrivateTmpfs(dir.path(), "size=64k", [&]() -> std::string {
    WriteFileAtomic(path, "old", 0644);
    if (::mount(nullptr, dir.path().c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
      return std::string("remount failed: ") + std::strerror(errno);
    }
    std::string error = WriteError(path, "new", 0644);
    if (error != "Failed to write " + path + ".tmp") {
      return "unexpected error text: '" + error + "'";
    }
    return ReadFile(path) == "old" ? "" : "old file changed";
  });
  EXPECT_EQ(problem, "");
}

TEST(WriteFileAtomicTest, ConcurrentWritersOfOnePathNeverMix) {
  TempDir dir;
  const std::string path = dir / "edge.json";
  std::vector<std::string> contents;
  for (int t = 0; t < 6; ++t) {
    contents.push_back(std::string(64 * 1024, static_cast<char>('a' + t)));
  }
  std::vector<std::string> errors(contents.size());
  std::vector<std::thread> writers;
  for (size_t t = 0; t < contents.size(); ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < 20; ++i) {
        std::string error = WriteError(path, contents[t], 0600);
        if (!error.empty()) {
          errors[t] = error;
        }
      }
    });
  }
  for (auto& writer : writers) {
    writer.join();
  }
  for (const auto& error : errors) {
    EXPECT_EQ(error, "");
  }
  std::string final = ReadFile(path);
  EXPECT_NE(std::find(contents.begin(), contents.end(), final), contents.end());
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
