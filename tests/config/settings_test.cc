#include "config/settings.h"

#include <gtest/gtest.h>

#include "config/settings_changes.h"
#include "config/state_file.h"
#include "support/temp_dir.h"
#include "util/file.h"
#include "util/json.h"
#include "util/test_errors.h"

namespace larkspire {
namespace {

using Strings = std::vector<std::string>;

Settings LoadText(const std::string& text) {
  TempDir dir;
  WriteFileAtomic(dir / "edge.json", text, 0600);
  return LoadSettings(dir / "edge.json");
}

// A value unlike the default and `variant`'s others, spelling the file's syntax and keys.
void Change(Settings& settings, const SettingsField& field, int variant) {
  const std::string text = std::to_string(variant) + " \"webPassword\": [\\\t\n\x01 \xE4\xB8\xAD";
  std::visit(
      [&](auto member) {
        auto& value = settings.*member;
        using T = std::decay_t<decltype(value)>;
        if constexpr (std::is_same_v<T, std::string>) {
          value = text;
        } else if constexpr (std::is_same_v<T, Strings>) {
          value = {text, "", "deviceSecret\"]"};
        } else if constexpr (std::is_same_v<T, int>) {
          value = 8000 + variant;
        } else {
          value = !(Settings().*member);
        }
      },
      field.member);
}

TEST(Settings, EveryKeySurvivesSaveAndLoad) {
  TempDir dir;
  const std::string path = dir / "etc/larkspire/edge.json";
  Settings original;
  for (const SettingsField& field : SettingsFields()) {
    Change(original, field, 1);
  }
  SaveSettings(path, original);
  EXPECT_EQ(FormatSettings(LoadSettings(path)), FormatSettings(original));
  EXPECT_EQ(FileMode(path), 0600);  // it holds the device secret and the web password
  // Missing keys take their defaults, and the defaults keep the page local and the overlay out.
  EXPECT_EQ(FormatSettings(LoadText("{}")), FormatSettings(Settings()));
  const Settings defaults;
  EXPECT_EQ(defaults.webBindAddress + " " + std::to_string(defaults.webPort) + " " +
                defaults.serverUrl + " " + std::to_string(defaults.overlayCanReachEdge),
            "127.0.0.1 18080 http://hub.larkspire.local:31080 0");
  EXPECT_EQ(testing::ErrorOf<std::runtime_error>([&] { LoadSettings(dir / "none"); }),
            "Config file was not found or is empty: " + dir / "none");
}

// The service's changes and the web page's saved meanwhile are both kept, field by field.
TEST(Settings, SavingChangesKeepsWhatWasSavedMeanwhile) {
  TempDir dir;
  const std::string path = dir / "edge.json";
  const auto& fields = SettingsFields();
  for (size_t web = 0; web < fields.size(); ++web) {
    for (size_t mine : {web, (web + 1) % fields.size()}) {
      SCOPED_TRACE(std::string(fields[web].key) + " / " + fields[mine].key);
      Settings saved;
      Change(saved, fields[web], 1);
      SaveSettings(path, saved);
      Settings changed;
      Change(changed, fields[mine], 2);
      SaveSettingsChanges(path, Settings(), changed);
      Change(saved, fields[mine], 2);
      EXPECT_EQ(FormatSettings(LoadSettings(path)), FormatSettings(saved));
    }
  }
  Settings mine;
  mine.deviceNumber = "D-2";
  SaveSettingsChanges(dir / "gone.json", Settings(), mine);
  EXPECT_EQ(LoadSettings(dir / "gone.json").deviceNumber, "D-2");
}

// Values of the wrong type read as defaults or empty; older files' network text is a fallback.
TEST(Settings, OddValuesReadAsDefaultsOrEmpty) {
  const std::pair<const char*, int> ports[] = {
      {"0", 18080},
      {"65536", 18080},
      {"\"8080\"", 18080},
      {"99999999999", 18080},
      {"8080 x", 8080},
      {"+8081", 8081},
      {"1", 1},
      {"65535", 65535},
  };
  for (const auto& [raw, expected] : ports) {
    EXPECT_EQ(LoadText(std::string("{\"webPort\": ") + raw + "}").webPort, expected) << raw;
  }
  const std::string old = "\"sharedNetworksText\": \"192.168.1.0/24\\n   \\n10.0.0.0/8\\r\\n\"";
  const Settings s = LoadText(
      "{\"deviceNumber\": 12, \"webUsername\": null, \"sharedNetworks\": "
      "[5], \"networkInterfaceName\": \"\\u4e2d\", " +
      old + "}");
  EXPECT_EQ(s.deviceNumber + "|" + s.webUsername + "|" + s.networkInterfaceName, "||\xE4\xB8\xAD");
  EXPECT_EQ(s.sharedNetworks, (Strings{"192.168.1.0/24", "10.0.0.0/8"}));
  EXPECT_EQ(LoadText("{\"sharedNetworks\": [\"1.2.3.0/24\"], " + old + "}").sharedNetworks,
            Strings{"1.2.3.0/24"});
  EXPECT_EQ(FormatSettings(s).find("sharedNetworksText"), std::string::npos);
}

TEST(StateFile, IsReadableByAllAndKeepsTheMessageWhole) {
  TempDir dir;
  SaveStateTo(dir / "state.json", "Hub said \"no\"\n\x01", false);
  EXPECT_EQ(FileMode(dir / "state.json"), 0644);  // the web page reads it without privileges
  const std::string state = ReadFile(dir / "state.json");
  EXPECT_EQ(JsonStringValue(state, "message", ""), "Hub said \"no\"\n\x01");
  EXPECT_FALSE(JsonBoolValue(state, "heartbeatAccepted", true));
}

}  // namespace
}  // namespace larkspire
