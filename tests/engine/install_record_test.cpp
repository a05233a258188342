// Reading the installation record from the registry's 32-bit view.
#include "../../engine/setup_engine.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <wchar.h>

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
    EXPECT_EQ(std::wstring(engine.installFolder), Wide(dir));
    EXPECT_EQ(std::wstring(engine.sourceFolder), L"D:\\");
    EXPECT_EQ(engine.installType, 2u);
    EXPECT_EQ(engine.registryKey, nullptr);

    // A Unicode installer records a folder named in any script; it arrives whole.
    const std::wstring anyScript = L"C:\\Zoë 한국\\表\\Quillarin";
    record.SetPath("Dir", anyScript);
    ASSERT_TRUE(Read());
    EXPECT_EQ(std::wstring(engine.installFolder), anyScript);
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

// A folder that is not a full path would be taken below wherever the tool was started. A full
// one counts in any form Windows takes whole, and is used as Windows makes it.
TEST_F(InstallRecordTest, OnlyAFullInstallFolderCountsAsInstalled)
{
    RecordKey record;
    record.SetString("CD", AsInstalled("D:\\"));
    record.SetDword("InstType", 1);

    const char *refused[] = {
        "",
        "Quillarin",
        ".\\q",
        "C:Quillarin",
        "C:",
        "\\Games\\Q",
        "/Games/Q",
        "\\\\server",
        "\\\\server\\",
        "//server/",
        "\\\\server\\\\share",
        "//server//share",
        "\\\\\\share\\Q",
        "\\\\.\\C:\\Quillarin",
        "//./C:/Quillarin",
        "//?/C:/Quillarin",
        "\\\\?\\C:Quillarin",
        "\\\\?\\C:/Quillarin",
        "\\\\?\\UNC\\server",
        "\\\\?\\Volume{0b1d5f3a-0000-0000-0000-100000000000}\\Q",
    };
    for (const char *dir : refused) {
        record.SetString("Dir", AsInstalled(dir));
        EXPECT_FALSE(Read()) << dir;
        EXPECT_EQ(engine.registryKey, nullptr) << dir;
    }

    const struct {
        const char *dir, *used;
    } accepted[] = {
        {"C:\\Quillarin", "C:\\Quillarin"},
        {"d:\\", "d:\\"},
        {"C:/", "C:\\"},
        {"C:/Games/Quillarin/", "C:\\Games\\Quillarin"},
        {"C:\\Games\\.\\Old\\..\\Quillarin\\", "C:\\Games\\Quillarin"},
        {"\\\\server\\share", "\\\\server\\share"},
        {"\\\\server\\share\\", "\\\\server\\share"},
        {"\\\\server\\share\\ゲーム\\Quillarin", "\\\\server\\share\\ゲーム\\Quillarin"},
        {"//server/share/Quillarin/", "\\\\server\\share\\Quillarin"},
        {"\\/server/share\\Quillarin", "\\\\server\\share\\Quillarin"},
        {"\\\\?\\C:\\Quillarin", "\\\\?\\C:\\Quillarin"},
        {"\\\\?\\C:\\Quillarin\\", "\\\\?\\C:\\Quillarin"},
        {"\\\\?\\C:\\", "\\\\?\\C:\\"},
        {"\\\\?\\UNC\\server\\share\\Quillarin", "\\\\?\\UNC\\server\\share\\Quillarin"},
        {"\\\\?\\unc\\server\\share\\", "\\\\?\\unc\\server\\share"},
    };
    for (const auto &dir : accepted) {
        record.SetString("Dir", AsInstalled(dir.dir));
        EXPECT_TRUE(Read()) << dir.dir;
        EXPECT_EQ(std::wstring(engine.installFolder), Wide(dir.used)) << dir.dir;
        EXPECT_EQ(engine.registryKey, nullptr) << dir.dir;
    }
}

TEST_F(InstallRecordTest, PathsLongerThanTheFieldCountAsNotInstalled)
{
    RecordKey record;
    record.SetString("CD", AsInstalled("D:\\"));
    record.SetDword("InstType", 1);

    record.SetString("Dir", AsInstalled("C:\\" + std::string(297, 'd')));
    EXPECT_FALSE(Read()) << "300 characters";
    EXPECT_EQ(engine.registryKey, nullptr);

    // Written in UTF-16, the limit counts characters.
    record.SetPath("Dir", "C:\\" + std::string(256, 'd'));
    EXPECT_TRUE(Read()) << "259 characters and the NUL";
    record.SetPath("Dir", "C:\\" + std::string(257, 'd'));
    EXPECT_FALSE(Read()) << "260 characters and the NUL";

    // Exactly the 260 bytes of the field and no NUL: not a path that can be trusted.
    record.SetString("Dir", "C:\\" + std::string(257, 'd'));
    EXPECT_FALSE(Read()) << "260 bytes without NUL";
    EXPECT_EQ(engine.registryKey, nullptr);
    EXPECT_NE(wmemchr(engine.installFolder, L'\0', PathFieldCapacity), nullptr);
}

TEST_F(InstallRecordTest, StringsStoredWithoutTheirNulAreTerminated)
{
    RecordKey record;
    const std::string dir = "C:\\" + std::string(256, 'd'); // 259 bytes, no NUL
    wmemset(engine.installFolder, L'x', PathFieldCapacity);
    record.SetString("Dir", dir);
    record.SetString("CD", "D:");
    record.SetDword("InstType", 1);
    ASSERT_TRUE(Read());
    EXPECT_EQ(std::wstring(engine.installFolder), Wide(dir));
    EXPECT_EQ(std::wstring(engine.sourceFolder), L"D:");
}

// Stored loosely as bytes, a path is in the system's code page, as the installation wrote it.
TEST_F(InstallRecordTest, PathStoredAsBytesIsReadAsTheSystemsCodePage)
{
    RecordKey record;
    const std::string dir = "C:\\ゲーム\\表示\\Quillarin";
    record.SetString("Dir", dir + std::string(1, '\0'), REG_BINARY);
    record.SetString("CD", "D:\\", REG_BINARY);
    record.SetDword("InstType", 1);
    ASSERT_TRUE(Read());
    EXPECT_EQ(std::wstring(engine.installFolder), Wide(dir));
    EXPECT_EQ(std::wstring(engine.sourceFolder), L"D:\\");

    record.SetString("Dir", "C:\\" + std::string(257, 'd'), REG_BINARY);
    EXPECT_FALSE(Read()) << "260 bytes without NUL";
    record.SetString("Dir", "C:\\" + std::string(297, 'd') + std::string(1, '\0'), REG_BINARY);
    EXPECT_FALSE(Read()) << "more than the field's 260 bytes";
    EXPECT_EQ(engine.registryKey, nullptr);
}

TEST_F(InstallRecordTest, InstallTypeIsNotTypeChecked)
{
    RecordKey record;
    record.SetString("Dir", AsInstalled("C:\\Quillarin"));
    record.SetString("CD", AsInstalled("D:\\"));
    record.SetString("InstType", std::string("123\0", 4));
    EXPECT_TRUE(Read()) << "4 bytes as the installation wrote them, though 8 in UTF-16";

    record.SetString("InstType", std::string("12345\0", 6));
    EXPECT_FALSE(Read()) << "more than the 4 bytes of the field";
    EXPECT_EQ(engine.registryKey, nullptr);
    record.SetString("InstType", std::string("\x01\x02\x03\x04\x05", 5), REG_BINARY);
    EXPECT_FALSE(Read()) << "5 bytes stored as such";
    EXPECT_EQ(engine.registryKey, nullptr);
}
