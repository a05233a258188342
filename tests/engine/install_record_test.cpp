// Reading the installation record from the registry's 32-bit view.
#include "../../engine/setup_engine.h"
#include "test_support.h"

#include <gtest/gtest.h>

// As the installation writes a path: its bytes, the NUL and one byte more.
static std::string AsInstalled(const std::string &path)
{
    return path + std::string(2, '\0');
}

class InstallRecordTest : public testing::Test {
  protected:
    bool Read() { return engine.ReadInstallRecord(); }
    SetupEngine engine;
};

TEST_F(InstallRecordTest, CompleteRecordIsReadByteForByte)
{
    RecordKey record;
    // 表 is 95 5C in CP932: its trail byte is a backslash.
    const std::string dir = "C:\\ゲーム\\表示\\Quillarin";
    record.SetString("Dir", AsInstalled(dir));
    record.SetString("CD", AsInstalled("D:\\"));
    record.SetDword("InstType", 2);
    ASSERT_TRUE(Read());
    EXPECT_EQ(std::string(engine.installFolder), dir);
    EXPECT_STREQ(engine.sourceFolder, "D:\\");
    EXPECT_EQ(engine.installType, 2u);
    EXPECT_EQ(engine.registryKey, nullptr);
}

TEST_F(InstallRecordTest, InitSetsTheInstalledFlagOnlyForACompleteRecord)
{
    const char *noNames[] = {nullptr};
    {
        RecordKey record;
        record.SetString("Dir", AsInstalled("C:\\Quillarin"));
        record.SetString("CD", AsInstalled("D:\\"));
        record.SetDword("InstType", 1);
        engine.Init(noNames, noNames, nullptr, "Quillarin");
        EXPECT_EQ(engine.installed, 1u);
    }
    // The record is gone now.
    SetupEngine fresh;
    fresh.Init(noNames, noNames, nullptr, "Quillarin");
    EXPECT_EQ(fresh.installed, 0u);
    EXPECT_EQ(fresh.registryKey, nullptr);
}

TEST_F(InstallRecordTest, MissingKeyOrValueFailsAndLeavesNoKeyOpen)
{
    {
        RecordKey record;
    }
    EXPECT_FALSE(Read());
    EXPECT_EQ(engine.registryKey, nullptr);

    RecordKey record;
    record.SetString("Dir", AsInstalled("C:\\Quillarin"));
    record.SetString("CD", AsInstalled("D:\\"));
    EXPECT_FALSE(Read()) << "InstType missing";
    EXPECT_EQ(engine.registryKey, nullptr);

    record.SetDword("InstType", 1);
    record.DeleteValue("CD");
    EXPECT_FALSE(Read()) << "CD missing";
    EXPECT_EQ(engine.registryKey, nullptr);
}

TEST_F(InstallRecordTest, PathsLongerThanTheFieldCountAsNotInstalled)
{
    RecordKey record;
    record.SetString("CD", AsInstalled("D:\\"));
    record.SetDword("InstType", 1);

    record.SetString("Dir", AsInstalled("C:\\" + std::string(297, 'd')));
    EXPECT_FALSE(Read()) << "300 characters";
    EXPECT_EQ(engine.registryKey, nullptr);

    // Exactly the 260 bytes of the field and no NUL: not a path that can be trusted.
    record.SetString("Dir", "C:\\" + std::string(257, 'd'));
    EXPECT_FALSE(Read()) << "260 bytes without NUL";
    EXPECT_EQ(engine.registryKey, nullptr);
    EXPECT_EQ(memchr(engine.installFolder, '\0', sizeof engine.installFolder) != nullptr, true);
}

TEST_F(InstallRecordTest, StringsStoredWithoutTheirNulAreTerminated)
{
    RecordKey record;
    const std::string dir = "C:\\" + std::string(256, 'd'); // 259 bytes, no NUL
    memset(engine.installFolder, 'x', sizeof engine.installFolder);
    record.SetString("Dir", dir);
    record.SetString("CD", "D:");
    record.SetDword("InstType", 1);
    ASSERT_TRUE(Read());
    EXPECT_EQ(std::string(engine.installFolder), dir);
    EXPECT_STREQ(engine.sourceFolder, "D:");
}

TEST_F(InstallRecordTest, InstallTypeIsNotTypeChecked)
{
    RecordKey record;
    record.SetString("Dir", AsInstalled("C:\\Quillarin"));
    record.SetString("CD", AsInstalled("D:\\"));
    record.SetString("InstType", std::string("12\0", 3));
    EXPECT_TRUE(Read());

    record.SetString("InstType", std::string("12345\0", 6));
    EXPECT_FALSE(Read()) << "more than the 4 bytes of the field";
    EXPECT_EQ(engine.registryKey, nullptr);
}
