// The bounded integer read of a window's settings, with the corrected value written back.
#include "support/TestSupport.h"

#include "common/Settings.h"

using testsupport::IsolatedTest;

namespace {

struct RangeCase {
    const char* what;
    bool stored;
    std::int32_t value;
    std::int32_t low, lowDefault, high, highDefault;
    std::int32_t expected;
    bool writtenBack;
};

constexpr std::int32_t kScreenHeight = 1080;

const RangeCase kCases[] = {
    {"a fresh registry gives the low default", false, 0, 20, 800, 0x7FFFFFFF, 0, 800, true},
    {"the low bound itself is replaced", true, 20, 20, 800, 0x7FFFFFFF, 0, 800, true},
    {"one above the low bound stays", true, 21, 20, 800, 0x7FFFFFFF, 0, 21, false},
    {"negative below a zero bound", true, -40, 0, 0, kScreenHeight - 15, kScreenHeight - 15, 0,
     true},
    {"the high bound is replaced by itself", true, kScreenHeight - 15, 0, 0, kScreenHeight - 15,
     kScreenHeight - 15, kScreenHeight - 15, true},
    {"one below the high bound stays", true, kScreenHeight - 16, 0, 0, kScreenHeight - 15,
     kScreenHeight - 15, kScreenHeight - 16, false},
    {"the largest integer hits the open-ended high bound", true, 0x7FFFFFFF, 20, 800, 0x7FFFFFFF, 0,
     0, true},
    {"both bounds open keep zero", true, 0, -1, 5, -1, 6, 0, false},
    {"both bounds open keep negatives", true, -123, -1, 5, -1, 6, -123, false},
    {"an open low bound keeps a missing value at 0", false, 0, -1, 5, 100, 99, 0, false},
    {"splitter of one is replaced", true, 1, 1, 297, 1920, 1900, 297, true},
};

class ReadIntegerInRangeTest : public IsolatedTest,
                               public ::testing::WithParamInterface<RangeCase> {};

} // namespace

TEST_P(ReadIntegerInRangeTest, AcceptsOnlyValuesStrictlyBetweenTheBounds) {
    const RangeCase& c = GetParam();
    TRegistryIniFileSpecial settings(settings_base_key, KEY_ALL_ACCESS);
    settings.Section = "browser_0";
    if (c.stored) {
        settings.WriteInteger("Value", c.value);
    }
    EXPECT_EQ(settings.ReadIntegerInRange("Value", c.low, c.lowDefault, c.high, c.highDefault),
              c.expected)
        << c.what;
    TRegistryIniFile plain(settings_base_key, KEY_READ);
    const bool present = plain.ValueExists("browser_0", "Value");
    if (c.writtenBack) {
        EXPECT_EQ(plain.ReadInteger("browser_0", "Value", -999), c.expected) << c.what;
    } else {
        EXPECT_EQ(present, c.stored) << c.what;
        if (present) {
            EXPECT_EQ(plain.ReadInteger("browser_0", "Value", -999), c.value) << c.what;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Bounds, ReadIntegerInRangeTest, ::testing::ValuesIn(kCases));

class SettingsTest : public IsolatedTest {};

TEST_F(SettingsTest, EachOperationUsesTheSectionUnderTheBaseKey) {
    TRegistryIniFileSpecial settings(settings_base_key, KEY_ALL_ACCESS);
    settings.Section = "viewer_0";
    settings.WriteString("current file system folder", "/home/u/Mes Images/été");
    settings.WriteFloat("zoom_factor", 0.064);
    settings.WriteBool("fullscreen", true);
    TRegistry registry(KEY_READ);
    ASSERT_TRUE(registry.OpenKey("\\Software\\Quendar\\Orvalen 1.5\\viewer_0", false));
    EXPECT_EQ(registry.ReadString("current file system folder"), "/home/u/Mes Images/été");
    EXPECT_EQ(registry.GetDataType("fullscreen"), TRegDataType::rdInteger);
    EXPECT_EQ(settings.ReadFloat("zoom_factor", 1.0), 0.064);
    EXPECT_TRUE(settings.ReadBool("fullscreen", false));
    settings.Section = "browser_0";
    EXPECT_FALSE(settings.ReadBool("fullscreen", false));
}
