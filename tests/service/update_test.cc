#include "service/update.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "support/temp_dir.h"
#include "util/file.h"
#include "util/run_flag.h"
#include "util/text.h"

namespace larkspire {
namespace {

namespace fs = std::filesystem;

TEST(CompareVersionTextTest, OrdersOfferedVersionsAgainstOurs) {
  struct Case {
    const char* offered;
    int expected;
  };
  const Case cases[] = {
      {"1.0.2", 1},
      {"1.0.1", 0},
      {"1.0", -1},
      {"2", 1},
      {"beta", -1},
      {"", -1},
      // Numerically equal, then told apart as texts: each counts as newer.
      {"1.0.1.0", 1},
      {"v1.0.1", 1},
      {"1.0.1-beta", 1},
      {"1.0.10", 1},
      {"0.9.99", -1},
      {"1.0.01", -1},  // numerically equal; "0" sorts before "1" as text
      {"1.0.002", 1},
      // Runs too long for any machine integer still compare by value.
      {"1.0.99999999999999999999", 1},
      {"0.99999999999999999999", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.offered);
    EXPECT_EQ(CompareVersionText(c.offered, kEdgeVersion), c.expected);
    EXPECT_EQ(CompareVersionText(kEdgeVersion, c.offered), -c.expected);
  }
}

// Runs the install script for real inside a scratch directory, with a stand-in systemctl on
// the PATH that only records that a restart was asked for.
class InstallScriptRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(extract_);
    WriteExecutable(root_ / "bin" / "systemctl",
                    "#!/bin/sh\necho \"$*\" >> '" + (root_ / "restarts").string() + "'\n");
  }

  static void WriteExecutable(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
    ::chmod(path.c_str(), 0755);
  }

  fs::path MakeOldExecutable(const std::string& directory = "installed") {
    fs::path exe = root_ / directory / "larkspire-edge";
    WriteExecutable(exe, kOldProgram);
    return exe;
  }

  int RunScript(const fs::path& exe) {
    std::string script = BuildInstallScript(extract_.string(), exe.string());
    std::string command = "PATH=" + ShellQuote((root_ / "bin").string()) + ":\"$PATH\" sh -c " +
                          ShellQuote(script) + " >/dev/null 2>&1";
    return std::system(command.c_str());
  }

  // The restart runs in the background, so give it a while to show up.
  std::string WaitForRestartRecord() {
    for (int i = 0; i < 200; ++i) {
      std::string record = ReadFile((root_ / "restarts").string());
      if (!record.empty()) {
        return record;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return "";
  }

  static constexpr const char* kOldProgram = "#!/bin/sh\necho old\n";
  static constexpr const char* kNewProgram = "#!/bin/sh\nexit 0\n";
  TempDir scratch_;
  fs::path root_ = scratch_.path();
  fs::path extract_ = root_ / "package";
};

TEST_F(InstallScriptRunTest, InstallsTheProgramFoundInThePackageAndRestarts) {
  fs::path exe = MakeOldExecutable("it's an edge");  // a path that needs quoting
  std::string source = extract_ / "pkg" / "bin" / "larkspire-edge";
  WriteExecutable(source, kNewProgram);
  ::chmod(source.c_str(), 0644);  // the package may have lost the executable bit

  ASSERT_EQ(RunScript(exe), 0);
  EXPECT_EQ(ReadFile(exe.string()), kNewProgram);
  EXPECT_EQ(::access(exe.c_str(), X_OK), 0);
  EXPECT_FALSE(fs::exists(exe.string() + ".new"));
  // Also lets the background restart finish before the directory goes away.
  EXPECT_EQ(WaitForRestartRecord(), "restart larkspire-edge\n");
}

TEST_F(InstallScriptRunTest, KeepsTheOldExecutableWhenThePackageHasNoUsableProgram) {
  struct Case {
    const char* name;
    void (*prepare)(const fs::path& extract);
  };
  const Case cases[] = {
      {"no executable at all",
       [](const fs::path& extract) { WriteExecutable(extract / "README", kNewProgram); }},
      {"fails --help",
       [](const fs::path& extract) {
         WriteExecutable(extract / "pkg" / "larkspire-edge", "#!/bin/sh\nexit 3\n");
       }},
      {"not a program",
       [](const fs::path& extract) {
         WriteExecutable(extract / "larkspire-edge",
                         "\x7f"
                         "ELF garbage");
       }},
      {"only a directory and a link by that name",
       [](const fs::path& extract) {
         WriteExecutable(extract / "real" / "other", kNewProgram);
         fs::create_directories(extract / "larkspire-edge");
         fs::create_symlink(extract / "real" / "other", extract / "real" / "larkspire-edge");
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(extract_);
    fs::create_directories(extract_);
    c.prepare(extract_);
    fs::path exe = MakeOldExecutable();

    EXPECT_NE(RunScript(exe), 0);
    EXPECT_EQ(ReadFile(exe.string()), kOldProgram);
    EXPECT_FALSE(fs::exists(exe.string() + ".new"));
  }
  EXPECT_FALSE(fs::exists(root_ / "restarts"));
}

TEST(UpdateCheckTest, AMissingConfigurationIsLoggedAndStartUpGoesOn) {
  EXPECT_NO_THROW(RunUpdateCheck("/nonexistent/larkspire/edge.json"));
  EXPECT_TRUE(g_running.load());
}

}  // namespace
}  // namespace larkspire
