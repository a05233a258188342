// The update pass against real folders: the tool's folder with the product folder of new
// files beside it, and an installation holding every listed file with old times and
// protecting attributes. The pass is driven below the completion message, which is shown
// only when it reports that it finished.
#include "../../engine/setup_engine.h"
#include "../../product/product_config.h"
#include "test_support.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <map>
#include <stdlib.h>
#include <string.h>
#include <utility>

#define EXPECT_TEXT_HAS(text, part)                                                                \
    EXPECT_NE(strstr(text, part), nullptr)                                                         \
        << "in: " << Readable(text) << "\nwanted: " << Readable(part)

namespace {

// CP932 bytes as UTF-8, for failure messages.
std::string Readable(const char *cp932)
{
    wchar_t wide[4096];
    int count = MultiByteToWideChar(932, 0, cp932, -1, wide, 4096);
    char utf8[8192];
    WideCharToMultiByte(CP_UTF8, 0, wide, count, utf8, sizeof utf8, nullptr, nullptr);
    return count > 0 ? utf8 : "";
}

using Names = std::vector<std::string>;

const DWORD Protecting = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

struct Before {
    std::string bytes;
    FileTimes times;
    DWORD attributes;
};

class UpdatePass : public testing::Test {
  protected:
    void SetUp() override
    {
        MakeFolder(tool);
        MakeFolder(install);
    }

    // The product's own lists, with the first entry as start-up leaves it.
    void UseProductLists()
    {
        std::vector<const char *> mainNames;
        for (const char *const *name = MainFiles; *name != nullptr; ++name)
            mainNames.push_back(*name);
        mainNames[0] = Product.productExecutableName;
        mainNames.push_back(nullptr);
        UseLists(mainNames.data(), ExtraFiles);
    }

    void UseLists(const char *const *mainNames, const char *const *extraNames)
    {
        for (const char *const *name = mainNames; *name != nullptr; ++name)
            mainListed.push_back(*name);
        for (const char *const *name = extraNames; *name != nullptr; ++name)
            extraListed.push_back(*name);
        CopyFileList(engine.mainFiles, mainNames);
        CopyFileList(engine.extraFiles, extraNames);
        CopyBounded(engine.folderName, sizeof engine.folderName, Product.productFolderName);
        CopyBounded(engine.sourceFolder, sizeof engine.sourceFolder, tool.c_str());
        CopyBounded(engine.installFolder, sizeof engine.installFolder, install.c_str());
    }

    bool IsMovie(const std::string &name) const { return name.compare(0, 6, "movie/") == 0; }

    // Every listed name once, in list order.
    Names Listed() const
    {
        Names names;
        for (const Names *list : {&mainListed, &extraListed}) {
            for (const std::string &name : *list) {
                if (std::find(names.begin(), names.end(), name) == names.end())
                    names.push_back(name);
            }
        }
        return names;
    }

    // Old content and times, and each kind of protection in turn. Not read again before the
    // checks, since a read could move the access time.
    void Install(const std::string &name, DWORD attributes)
    {
        std::string path = install + "\\" + name;
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        Before &before = installed[name];
        before.bytes =
            PatternBytes(500 + installed.size() * 37, static_cast<unsigned>(name.size()));
        WriteFileBytes(path, before.bytes);
        SetTimes(path, TimesAt(2001));
        ASSERT_TRUE(SetFileAttributesA(path.c_str(), attributes)) << path;
        before.times = TimesOf(path);
        before.attributes = AttributesOf(path);
        ASSERT_EQ(before.attributes & Protecting, attributes & Protecting) << path;
    }

    void InstallEveryListedFile(bool withMovieFolder)
    {
        // Read-only alone: for a user without privileges the system keeps no other attribute
        // on a file it has made read-only.
        const DWORD kinds[] = {FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_HIDDEN,
                               FILE_ATTRIBUTE_SYSTEM, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM,
                               FILE_ATTRIBUTE_NORMAL};
        if (withMovieFolder)
            MakeFolder(install + "\\movie");
        size_t index = 0;
        for (const std::string &name : Listed()) {
            if (IsMovie(name) && !withMovieFolder)
                continue;
            Install(name, kinds[index++ % 5]);
        }
        // Not the updater's: it must not even lose its attributes.
        Install("save.dat", FILE_ATTRIBUTE_HIDDEN);
    }

    void Carry(const std::string &name, size_t size)
    {
        if (!FileExists(update))
            MakeFolder(update);
        if (IsMovie(name) && !FileExists(update + "\\movie"))
            MakeFolder(update + "\\movie");
        std::string path = update + "\\" + name;
        carried[name] = PatternBytes(size, static_cast<unsigned>(200 + carried.size()));
        WriteFileBytes(path, carried[name]);
        SetTimes(path, TimesAt(2024));
    }

    std::string Content(const std::string &path)
    {
        std::string bytes;
        EXPECT_TRUE(ReadFileBytes(path, bytes)) << path;
        return bytes;
    }

    // Times are taken before any content is read.
    void ExpectUpdated(const std::string &name)
    {
        SCOPED_TRACE(name);
        std::string path = install + "\\" + name;
        FileTimes got = TimesOf(path);
        EXPECT_TRUE(SameTimes(got, TimesOf(update + "\\" + name)));
        // The creation time is not kept by every platform; the write time always is.
        FileTimes set = TimesAt(2024);
        EXPECT_EQ(CompareFileTime(&got.written, &set.written), 0);
        EXPECT_EQ(AttributesOf(path) & Protecting, 0u);
        EXPECT_TRUE(SameBytes(Content(path), carried[name]));
    }

    void ExpectKeptButOpened(const std::string &name)
    {
        SCOPED_TRACE(name);
        std::string path = install + "\\" + name;
        EXPECT_TRUE(SameTimes(TimesOf(path), installed[name].times));
        EXPECT_EQ(AttributesOf(path) & Protecting, 0u);
        EXPECT_TRUE(SameBytes(Content(path), installed[name].bytes));
    }

    void ExpectUntouched(const std::string &name)
    {
        SCOPED_TRACE(name);
        std::string path = install + "\\" + name;
        EXPECT_TRUE(SameTimes(TimesOf(path), installed[name].times));
        EXPECT_EQ(AttributesOf(path), installed[name].attributes);
        EXPECT_TRUE(SameBytes(Content(path), installed[name].bytes));
    }

    // What lies in the installation: nothing created, no temporary file left.
    Names InstalledNames(const std::string &folder) const
    {
        Names names;
        for (const auto &entry : installed) {
            std::string name = entry.first;
            if (folder.empty() ? !IsMovie(name) : IsMovie(name))
                names.push_back(folder.empty() ? name : name.substr(6));
        }
        if (folder.empty() && FileExists(install + "\\movie"))
            names.push_back("movie");
        std::sort(names.begin(), names.end());
        return names;
    }

    void ExpectNothingElseInTheInstallation()
    {
        EXPECT_EQ(FolderNames(install), InstalledNames(""));
        EXPECT_EQ(FolderNames(install + "\\movie"), InstalledNames("movie"));
    }

    TemporaryFolder root;
    std::string tool = root / "tool";
    std::string update = tool + "\\" + Product.productFolderName;
    std::string install = root / "install";
    Names mainListed, extraListed;
    std::map<std::string, Before> installed;
    std::map<std::string, std::string> carried;
    SetupEngine engine;
};

TEST_F(UpdatePass, OnlyGrdPacIsCopiedAndEveryOtherListedFileJustLosesItsProtection)
{
    UseProductLists();
    InstallEveryListedFile(true);
    installed.erase("debuglog.txt");
    DeleteFileA((install + "\\debuglog.txt").c_str()); // listed, not installed: stays absent
    Carry("grd.pac", 5 * 65536 + 1234);

    EXPECT_TRUE(engine.CopyUpdateFiles());

    ExpectUpdated("grd.pac");
    for (const std::string &name : Listed()) {
        if (name != "grd.pac" && installed.count(name))
            ExpectKeptButOpened(name);
    }
    ExpectUntouched("save.dat");
    ExpectNothingElseInTheInstallation();
}

TEST_F(UpdatePass, GrdTwoInBothListsEndsTheSameAsOnce)
{
    UseProductLists();
    InstallEveryListedFile(true);
    Carry("grd_2.pac", 70000);

    EXPECT_TRUE(engine.CopyUpdateFiles());

    ExpectUpdated("grd_2.pac");
    for (const std::string &name : Listed()) {
        if (name != "grd_2.pac")
            ExpectKeptButOpened(name);
    }
    ExpectNothingElseInTheInstallation();
}

TEST_F(UpdatePass, MissingUpdateFolderCopiesNothingButStillResetsAttributes)
{
    UseProductLists();
    InstallEveryListedFile(true);

    EXPECT_TRUE(engine.CopyUpdateFiles());

    for (const std::string &name : Listed())
        ExpectKeptButOpened(name);
    ExpectUntouched("save.dat");
    ExpectNothingElseInTheInstallation();
}

TEST_F(UpdatePass, EmptyUpdateFolderCopiesNothingButStillResetsAttributes)
{
    UseProductLists();
    InstallEveryListedFile(false);
    MakeFolder(update);

    EXPECT_TRUE(engine.CopyUpdateFiles());

    for (const std::string &name : Listed()) {
        if (!IsMovie(name))
            ExpectKeptButOpened(name);
    }
    ExpectNothingElseInTheInstallation();
    EXPECT_FALSE(FileExists(install + "\\movie"));
}

TEST_F(UpdatePass, MovieWithoutAnInstalledMovieFolderStopsThePassThere)
{
    UseProductLists();
    InstallEveryListedFile(false);
    Carry("grd.pac", 2000);
    Carry("srp_2.pac", 3000);
    Carry("movie/eyecatch01.mpg", 70000);
    Carry("srp_3.pac", 4000); // only in the extra list, after the stop

    EXPECT_FALSE(engine.CopyUpdateFiles());

    ExpectUpdated("grd.pac");
    ExpectUpdated("srp_2.pac");
    bool stopped = false;
    for (const std::string &name : mainListed) {
        if (name == "movie/eyecatch01.mpg")
            stopped = true;
        else if (!IsMovie(name) && name != "grd.pac" && name != "srp_2.pac")
            ExpectKeptButOpened(name);
    }
    ASSERT_TRUE(stopped);
    EXPECT_STREQ(engine.currentName, "movie/eyecatch01.mpg");
    EXPECT_EQ(engine.ClassifyFailure(), FailureMissingFolder);
    char text[2048];
    engine.DescribeFailure(FailureMissingFolder, text, sizeof text);
    // As listed but with the system's separator; the folder named; the two files before it.
    EXPECT_TEXT_HAS(text, "movie\\eyecatch01.mpg を更新できませんでした。");
    EXPECT_TEXT_HAS(text, "フォルダ「movie」がありません");
    EXPECT_TEXT_HAS(text, "ここまでに 2 個のファイルを更新しました。");
    // The extra list's own names are never reached: not even their attributes change.
    for (const std::string &name : extraListed) {
        if (std::find(mainListed.begin(), mainListed.end(), name) == mainListed.end())
            ExpectUntouched(name);
    }
    ExpectNothingElseInTheInstallation();
    EXPECT_FALSE(FileExists(install + "\\movie"));
}

TEST_F(UpdatePass, ReadOnlyInstalledFileGetsTheNewContent)
{
    UseProductLists();
    InstallEveryListedFile(true);
    const char *protectedNames[] = {"grd.pac", "vic.pac", "srp_6.pac"};
    for (const char *name : protectedNames) {
        Install(name, FILE_ATTRIBUTE_READONLY);
        Carry(name, 70000);
    }
    // Run as an unprivileged user the system refuses to write a read-only file; make sure
    // it does, or this case would prove nothing. Wine still lets a rename replace such a
    // file, so what this case catches is a copy written into the installed file itself.
    if (getenv("UPDATER_TEST_READ_ONLY_REFUSED") != nullptr) {
        HANDLE file = CreateFileA((install + "\\grd.pac").c_str(), GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
        ASSERT_EQ(file, INVALID_HANDLE_VALUE) << "read-only is not enforced here";
    }

    EXPECT_TRUE(engine.CopyUpdateFiles());

    for (const char *name : protectedNames)
        ExpectUpdated(name);
    ExpectNothingElseInTheInstallation();
}

// A retry goes on from the file that failed, as often as the user asks.
TEST_F(UpdatePass, FileInUseStopsThePassUntouchedAndARetryGoesOnFromIt)
{
    UseProductLists();
    InstallEveryListedFile(true);
    Carry("grd.pac", 2000);
    Carry("vic.pac", 3000);
    Carry("se.pac", 4000);

    {
        HeldOpen game(install + "\\vic.pac", GENERIC_READ, FILE_SHARE_READ);
        EXPECT_FALSE(engine.CopyUpdateFiles());
        EXPECT_STREQ(engine.currentName, "vic.pac");
        // The probe must see the holder, whatever error the replacement met.
        EXPECT_EQ(engine.ClassifyFailure(), FailureInUse) << "error " << engine.failureError;
    }
    // The updated files are looked at only at the end, since a read moves access times.
    {
        SCOPED_TRACE("vic.pac");
        std::string path = install + "\\vic.pac";
        EXPECT_TRUE(SameTimes(TimesOf(path), installed["vic.pac"].times));
        EXPECT_TRUE(SameBytes(Content(path), installed["vic.pac"].bytes));
    }
    ExpectUntouched("se.pac");
    ExpectNothingElseInTheInstallation();
    EXPECT_EQ(engine.filesCopied, 1u);

    {
        // The new file itself still being written by the program that brought it.
        HeldOpen download(update + "\\se.pac", GENERIC_WRITE, FILE_SHARE_READ);
        EXPECT_FALSE(engine.CopyUpdateFiles());
        EXPECT_STREQ(engine.currentName, "se.pac");
        EXPECT_TRUE(engine.failedOnSource);
        EXPECT_EQ(engine.ClassifyFailure(), FailureInUse) << "error " << engine.failureError;
    }
    EXPECT_EQ(engine.filesCopied, 2u);
    EXPECT_TRUE(SameBytes(Content(install + "\\se.pac"), installed["se.pac"].bytes));

    EXPECT_TRUE(engine.CopyUpdateFiles());
    for (const char *name : {"grd.pac", "vic.pac", "se.pac"})
        ExpectUpdated(name);
    EXPECT_EQ(engine.filesCopied, 3u);
    EXPECT_EQ(engine.bytesCopied, 9000u);
    ExpectNothingElseInTheInstallation();
}

// What each kind of failure tells the user, from the error the failing step left.
TEST_F(UpdatePass, FailuresAreToldApartByWhatTheUserCanDo)
{
    UseProductLists();
    Install("grd.pac", FILE_ATTRIBUTE_NORMAL);
    engine.ComposePaths("grd.pac");
    engine.filesCopied = 7;
    char text[2048];

    // Refused, and nobody holds the file: the rights are missing. Held by another program,
    // even one that shares it with everybody: the same refusal means the file is in use.
    engine.failureError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(engine.ClassifyFailure(), FailureAccessDenied);
    engine.DescribeFailure(FailureAccessDenied, text, sizeof text);
    EXPECT_TEXT_HAS(text, "管理者として実行");
    {
        HeldOpen game(install + "\\grd.pac", GENERIC_READ,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
        EXPECT_EQ(engine.ClassifyFailure(), FailureInUse);
    }
    engine.failureError = ERROR_SHARING_VIOLATION;
    EXPECT_EQ(engine.ClassifyFailure(), FailureInUse);
    engine.DescribeFailure(FailureInUse, text, sizeof text);
    EXPECT_TEXT_HAS(text, "grd.pac を更新できませんでした。");
    EXPECT_TEXT_HAS(text, "プログラムを終了してから［再試行］");
    EXPECT_TEXT_HAS(text, "ここまでに 7 個のファイルを更新しました。");

    engine.failureError = ERROR_DISK_FULL;
    EXPECT_EQ(engine.ClassifyFailure(), FailureDiskFull);
    engine.DescribeFailure(FailureDiskFull, text, sizeof text);
    EXPECT_TEXT_HAS(text, "空き容量が足りません");
    EXPECT_TEXT_HAS(text, install.c_str());

    engine.failureError = ERROR_INVALID_NAME;
    EXPECT_EQ(engine.ClassifyFailure(), FailureOther);
    engine.DescribeFailure(FailureOther, text, sizeof text);
    EXPECT_TEXT_HAS(text, "エラー コード 123 ");
    EXPECT_TEXT_HAS(text, "アップデートを中止しました。");

    // Whatever the error, a folder the installation lacks is what the user must hear about.
    engine.ComposePaths("movie/eyecatch01.mpg");
    engine.failureError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(engine.ClassifyFailure(), FailureMissingFolder);

    char number[32];
    for (auto expected :
         {std::make_pair(0ull, "0"), std::make_pair(999ull, "999"),
          std::make_pair(1024ull, "1,024"), std::make_pair(4294967296ull, "4,294,967,296")}) {
        FormatGrouped(number, expected.first);
        EXPECT_STREQ(number, expected.second);
    }
}

TEST_F(UpdatePass, FoldersAndNamesWithABackslashTrailByte)
{
    // 表 is 95 5C and ソ is 83 5C in CP932: a byte-wise search for the last separator would
    // put the temporary file into a folder that does not exist.
    tool = root / "ツール表";
    update = tool + "\\" + Product.productFolderName;
    install = root / "表示\\ソフト";
    MakeFolder(root / "表示");
    MakeFolder(tool);
    MakeFolder(install);
    const char *mainNames[] = {"ソフト表.pac", "movie/表紙.mpg", nullptr};
    const char *extraNames[] = {"grd.pac", nullptr};
    UseLists(mainNames, extraNames);
    MakeFolder(install + "\\movie");
    for (const char *name : {"ソフト表.pac", "movie/表紙.mpg", "grd.pac"}) {
        Install(name, FILE_ATTRIBUTE_HIDDEN);
        Carry(name, 70000);
    }

    EXPECT_TRUE(engine.CopyUpdateFiles());

    for (const char *name : {"ソフト表.pac", "movie/表紙.mpg", "grd.pac"})
        ExpectUpdated(name);
    ExpectNothingElseInTheInstallation();
    EXPECT_EQ(FolderNames(root / "表示"), (Names{"ソフト"}));
}

} // namespace
