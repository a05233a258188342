// The engine's own copies of the product's file lists, and its lifecycle.
#include "../../engine/setup_engine.h"
#include "../../product/product_config.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

static std::vector<std::string> Walk(const FileList &list)
{
    std::vector<std::string> names;
    for (char **entry = list.entries; (*entry)[0] != '\0'; ++entry)
        names.push_back(*entry);
    return names;
}

TEST(FileList, CopyWalksBackTheNamesInOrderAndEndsWithAnEmptyEntry)
{
    const char *names[] = {"grd.pac", "movie/eyecatch01.mpg", "ゲーム表示.txt", nullptr};
    FileList list = {};
    CopyFileList(list, names);
    EXPECT_EQ(Walk(list),
              (std::vector<std::string>{"grd.pac", "movie/eyecatch01.mpg", "ゲーム表示.txt"}));
    // The terminator is a whole zero-filled entry, not just a NUL.
    EXPECT_EQ(std::string(list.entries[3], FileNameCapacity), std::string(FileNameCapacity, '\0'));
    // The entries are the engine's own copies, not the table's strings.
    EXPECT_NE(list.entries[0], names[0]);
    ReleaseFileList(list);
    EXPECT_EQ(list.entries, nullptr);
}

TEST(FileList, EmptySourceGivesOneEmptyEntry)
{
    const char *names[] = {nullptr};
    FileList list = {};
    CopyFileList(list, names);
    ASSERT_NE(list.entries, nullptr);
    EXPECT_EQ(list.entries[0][0], '\0');
    EXPECT_TRUE(Walk(list).empty());
    ReleaseFileList(list);
}

TEST(FileList, CopyingAgainReplacesTheList)
{
    const char *first[] = {"a.pac", "b.pac", nullptr};
    const char *second[] = {"c.pac", nullptr};
    FileList list = {};
    CopyFileList(list, first);
    CopyFileList(list, second);
    EXPECT_EQ(Walk(list), (std::vector<std::string>{"c.pac"}));
    ReleaseFileList(list);
}

TEST(FileList, NameOf127BytesFitsAndOf128BytesEndsTheProgramAtOnce)
{
    std::string longest(127, 'x');
    const char *fits[] = {longest.c_str(), nullptr};
    FileList list = {};
    CopyFileList(list, fits);
    EXPECT_EQ(Walk(list), (std::vector<std::string>{longest}));
    ReleaseFileList(list);

    std::string tooLong(128, 'x');
    const char *overflows[] = {"grd.pac", tooLong.c_str(), nullptr};
    EXPECT_EXIT(
        {
            FileList doomed = {};
            CopyFileList(doomed, overflows);
        },
        testing::ExitedWithCode(FatalExitCode), "");
}

TEST(SetupEngineLifecycle, TeardownOfAnEngineNeverInitialisedReleasesNothing)
{
    SetupEngine engine;
    EXPECT_EQ(engine.mainFiles.entries, nullptr);
    EXPECT_EQ(engine.registryKey, nullptr);
    engine.Teardown();
    engine.Teardown();
    EXPECT_EQ(engine.mainFiles.entries, nullptr);
    EXPECT_EQ(engine.extraFiles.entries, nullptr);
    EXPECT_EQ(engine.registryKey, nullptr);
}

TEST(SetupEngineLifecycle, InitCopiesBothListsAndTheFolderName)
{
    SetupEngine engine;
    const char *mainNames[] = {"Quillarin.exe", "grd.pac", nullptr};
    const char *extraNames[] = {"srp_3.pac", nullptr};
    engine.Init(mainNames, extraNames, nullptr, "Quillarin");
    EXPECT_EQ(Walk(engine.mainFiles), (std::vector<std::string>{"Quillarin.exe", "grd.pac"}));
    EXPECT_EQ(Walk(engine.extraFiles), (std::vector<std::string>{"srp_3.pac"}));
    EXPECT_STREQ(engine.folderName, "Quillarin");
    EXPECT_EQ(engine.registryKey, nullptr);
    engine.Teardown();
    EXPECT_EQ(engine.mainFiles.entries, nullptr);
}

TEST(ProductTables, QuillarinNamesAreTheCp932BytesOfTheTables)
{
    if (std::string(Product.productTitle) != "Quillarin")
        GTEST_SKIP() << "built for another product";
    // "Quillarin", U+3000 (81 40), then セットアップ in CP932.
    EXPECT_EQ(std::string(Product.hostWindowClassName),
              "Quillarin\x81\x40\x83\x5A\x83\x62\x83\x67\x83\x41\x83\x62\x83\x76");
    EXPECT_STREQ(Product.productFolderName, "Quillarin");
    EXPECT_STREQ(Product.productExecutableName, "Quillarin.exe");
    EXPECT_STREQ(Product.installRecordKey, "SOFTWARE\\Morvek\\Quillarin");

    size_t mainCount = 0;
    while (MainFiles[mainCount] != nullptr)
        ++mainCount;
    size_t extraCount = 0;
    while (ExtraFiles[extraCount] != nullptr)
        ++extraCount;
    EXPECT_EQ(mainCount, 32u);
    EXPECT_EQ(extraCount, 10u);
    EXPECT_STREQ(MainFiles[28], "movie/egg_eyecatch01.mpg");
    EXPECT_STREQ(MainFiles[31], "movie/eyecatch02.mpg");
    EXPECT_STREQ(ExtraFiles[9], "srp_6.pac");
}
