#include "config/settings_changes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace larkspire {
namespace {

using Strings = std::vector<std::string>;

class SettingsChangesTest : public ::testing::Test {
 protected:
  SettingsChangesTest() {
    base_.deviceName = "Lab Edge";
    base_.sharedNetworks = {"192.168.50.0/24"};
    SaveSettings(path_, base_);
  }

  TempDir dir_;
  std::string path_ = dir_ / "edge.json";
  Settings base_;
};

// The service registers while the operator saves the web page: both changes must be kept.
TEST_F(SettingsChangesTest, KeepsWhatWasSavedMeanwhileBesideTheOwnChanges) {
  Settings web = LoadSettings(path_);
  web.webPassword = "new-password";
  web.additionalSharedNetworks = {"10.9.0.0/16"};
  web.deviceName = "Renamed";
  SaveSettings(path_, web);

  Settings mine = base_;
  mine.deviceNumber = "D-1";
  mine.deviceSecret = "secret";
  mine.sharedNetworks = {"192.168.50.0/24", "192.168.60.0/24"};
  SaveSettingsChanges(path_, base_, mine);

  Settings saved = LoadSettings(path_);
  EXPECT_EQ(saved.webPassword, "new-password");
  EXPECT_EQ(saved.additionalSharedNetworks, Strings{"10.9.0.0/16"});
  EXPECT_EQ(saved.deviceName, "Renamed");
  EXPECT_EQ(saved.deviceNumber, "D-1");
  EXPECT_EQ(saved.deviceSecret, "secret");
  EXPECT_EQ(saved.sharedNetworks, (Strings{"192.168.50.0/24", "192.168.60.0/24"}));
}

TEST_F(SettingsChangesTest, AFieldChangedOnBothSidesTakesTheLaterWrite) {
  Settings web = base_;
  web.deviceName = "From the page";
  SaveSettings(path_, web);

  Settings mine = base_;
  mine.deviceName = "From the Hub";
  SaveSettingsChanges(path_, base_, mine);
  EXPECT_EQ(LoadSettings(path_).deviceName, "From the Hub");
}

TEST_F(SettingsChangesTest, AFileThatWentMissingIsWrittenAfresh) {
  Settings mine = base_;
  mine.deviceNumber = "D-2";
  SaveSettingsChanges(dir_ / "gone.json", base_, mine);
  Settings saved = LoadSettings(dir_ / "gone.json");
  EXPECT_EQ(saved.deviceNumber, "D-2");
  EXPECT_EQ(saved.deviceName, "Lab Edge");
}

}  // namespace
}  // namespace larkspire
