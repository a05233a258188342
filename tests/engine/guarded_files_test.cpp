// The blocks every change below the install folder goes through, against links that an
// attacker on the same PC can plant under Wine: real Unix symbolic links to a folder and to a
// file (and ones whose target is missing), and hard links. Whatever is asked, the victim's
// folder beside the installation stays as it was, and plain files are changed as asked.
#include "../../engine/guarded_files.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using Names = std::vector<std::string>;

std::string Content(const TestPath &path)
{
    std::string bytes;
    return ReadFileBytes(path, bytes) ? bytes : "<missing>";
}

class GuardedFiles : public testing::Test {
  protected:
    void SetUp() override
    {
        MakeFolder(install);
        MakeFolder(install + "\\movie");
        WriteFileBytes(install + "\\grd.pac", "installed");
        MakeFolder(victim);
        WriteFileBytes(victim + "\\eyecatch01.mpg", "the victim's movie");
        ASSERT_TRUE(SetAttributes(victim + "\\eyecatch01.mpg", FILE_ATTRIBUTE_HIDDEN));
        WriteFileBytes(victim + "\\secret.dat", "the victim's data");
        ASSERT_TRUE(SetAttributes(victim + "\\secret.dat", FILE_ATTRIBUTE_READONLY));
    }

    // Deleting through Wine would follow the links the case planted.
    void TearDown() override { RemoveThroughUnix(temporary.path()); }

    void Plant(const std::string &link, const std::string &target)
    {
        ASSERT_TRUE(PlantSymbolicLink(link, target)) << link;
    }

    DWORD OpenRoot(const std::string &folder)
    {
        return OpenGuardedRoot(root, TestPath(folder).wide().c_str());
    }

    TemporaryFolder temporary;
    const std::string install = temporary / "インストール先表";
    const std::string victim = temporary / "victim";
    GuardedRoot root;
};

TEST_F(GuardedFiles, PlainFilesAreCreatedChangedRenamedCutAndDeletedThroughTheirHandles)
{
    ASSERT_EQ(OpenRoot(install), ERROR_SUCCESS);
    GuardedFile staged;
    ASSERT_EQ(
        CreateGuarded(root, L"movie\\eyecatch01.mpg", L".qupdate-new", GENERIC_WRITE, 0, staged),
        ERROR_SUCCESS);
    EXPECT_EQ(staged.links, 1u);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(staged.handle, "new movie", 9, &written, nullptr));
    // An existing name is never opened for writing.
    GuardedFile again;
    EXPECT_EQ(
        CreateGuarded(root, L"movie\\eyecatch01.mpg", L".qupdate-new", GENERIC_WRITE, 0, again),
        DWORD(ERROR_FILE_EXISTS));
    EXPECT_EQ(RenameGuarded(root, staged, L"movie\\eyecatch01.mpg", nullptr, false), ERROR_SUCCESS);
    staged.Close();
    const FileTimes times = TimesAt(2024);
    EXPECT_EQ(SetGuardedTimes(root, L"movie\\eyecatch01.mpg", nullptr, nullptr, &times.written),
              ERROR_SUCCESS);
    const std::string movie = install + "\\movie\\eyecatch01.mpg";
    EXPECT_EQ(Content(movie), "new movie");
    const FILETIME movieWritten = TimesOf(movie).written;
    EXPECT_EQ(CompareFileTime(&movieWritten, &times.written), 0);

    GuardedFile installed;
    ASSERT_EQ(OpenGuarded(root, L"movie\\eyecatch01.mpg", nullptr,
                          DELETE | FILE_WRITE_ATTRIBUTES | FILE_WRITE_DATA, ShareAll, installed),
              ERROR_SUCCESS);
    EXPECT_EQ(SetGuardedAttributes(root, L"movie\\eyecatch01.mpg", FILE_ATTRIBUTE_HIDDEN),
              ERROR_SUCCESS);
    EXPECT_EQ(AttributesOf(movie) & FILE_ATTRIBUTE_HIDDEN, DWORD(FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(SetGuardedAttributes(root, L"movie\\eyecatch01.mpg", FILE_ATTRIBUTE_NORMAL),
              ERROR_SUCCESS);
    EXPECT_EQ(AttributesOf(movie) & FILE_ATTRIBUTE_HIDDEN, 0u);
    EXPECT_EQ(CutGuarded(installed, 3), ERROR_SUCCESS);
    installed.Close();
    EXPECT_EQ(Content(movie), "new");
    ASSERT_EQ(OpenGuarded(root, L"movie\\eyecatch01.mpg", nullptr, DELETE, ShareAll, installed),
              ERROR_SUCCESS);
    EXPECT_EQ(DeleteGuarded(installed), ERROR_SUCCESS);
    installed.Close();
    EXPECT_FALSE(FileExists(movie));

    GuardedFile folder;
    ASSERT_EQ(OpenGuarded(root, L"movie", nullptr, GuardedFolderAccess, ShareAll, folder),
              ERROR_SUCCESS);
    EXPECT_NE(folder.attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);

    WriteFileBytes(install + "\\grd.pac.qupdate-new", "new pac");
    EXPECT_EQ(ReplaceGuarded(root, L"grd.pac", L".qupdate-new", L".qupdate-kept"), ERROR_SUCCESS);
    EXPECT_EQ(Content(install + "\\grd.pac"), "new pac");
    EXPECT_EQ(Content(install + "\\grd.pac.qupdate-kept"), "installed");
    EXPECT_EQ(FolderNames(install), (Names{"grd.pac", "grd.pac.qupdate-kept", "movie"}));
}

// The install folder counts only as itself; folders above it may be links (Wine's drive
// letters are), and what lies below is named through them.
TEST_F(GuardedFiles, InstallFolderThatIsALinkIsRefusedAndOneBelowALinkIsNot)
{
    Plant(temporary / "linked", install);
    EXPECT_EQ(OpenRoot(temporary / "linked"), ErrorLinked);
    Plant(temporary / "dangling", temporary / "nothing");
    EXPECT_EQ(OpenRoot(temporary / "dangling"), ErrorLinked);
    EXPECT_EQ(OpenRoot(install + "\\grd.pac"), DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(OpenRoot(temporary / "missing"), DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(root.handle, INVALID_HANDLE_VALUE);

    Plant(temporary / "above", temporary.path());
    ASSERT_EQ(OpenRoot(temporary / "above\\インストール先表"), ERROR_SUCCESS);
    GuardedFile file;
    EXPECT_EQ(OpenGuarded(root, L"grd.pac", nullptr, FILE_READ_ATTRIBUTES, ShareAll, file),
              ERROR_SUCCESS);
    EXPECT_EQ(
        CreateGuarded(root, L"movie\\eyecatch01.mpg", L".qupdate-new", GENERIC_WRITE, 0, file),
        ERROR_SUCCESS);
}

TEST_F(GuardedFiles, FolderLinkOnTheWayIsNeitherOpenedNorWrittenThrough)
{
    ASSERT_TRUE(RemoveDirectoryW(TestPath(install + "\\movie").system()));
    Plant(install + "\\movie", victim);
    Plant(install + "\\save", temporary / "nothing");
    const std::string before = StateOf(victim);
    ASSERT_EQ(OpenRoot(install), ERROR_SUCCESS);

    GuardedFile file;
    EXPECT_EQ(OpenGuarded(root, L"movie", nullptr, GuardedFolderAccess, ShareAll, file),
              ErrorLinked);
    EXPECT_EQ(OpenGuarded(root, L"movie\\eyecatch01.mpg", nullptr,
                          DELETE | FILE_WRITE_ATTRIBUTES | FILE_WRITE_DATA, ShareAll, file),
              ErrorLinked);
    EXPECT_EQ(OpenGuarded(root, L"save", nullptr, GuardedFolderAccess, ShareAll, file),
              ErrorLinked);
    EXPECT_EQ(
        CreateGuarded(root, L"movie\\eyecatch01.mpg", L".qupdate-new", GENERIC_WRITE, 0, file),
        ErrorLinked);
    EXPECT_EQ(CreateGuarded(root, L"movie\\eyecatch02.mpg", nullptr, GENERIC_WRITE, 0, file),
              ErrorLinked);
    EXPECT_EQ(CreateGuarded(root, L"save\\game.sav", nullptr, GENERIC_WRITE, 0, file), ErrorLinked);
    EXPECT_EQ(file.handle, INVALID_HANDLE_VALUE);

    GuardedFile own;
    ASSERT_EQ(OpenGuarded(root, L"grd.pac", nullptr, DELETE | FILE_READ_ATTRIBUTES, ShareAll, own),
              ERROR_SUCCESS);
    EXPECT_EQ(RenameGuarded(root, own, L"movie\\eyecatch01.mpg", nullptr, true), ErrorLinked);
    own.Close();
    EXPECT_EQ(Content(install + "\\grd.pac"), "installed");
    EXPECT_EQ(StateOf(victim), before);
    EXPECT_FALSE(FileExists(temporary / "nothing"));
}

// A leftover of an earlier pass may be a link planted at a temporary's name: it is renamed
// over, never opened, created through or deleted through.
TEST_F(GuardedFiles, FileLinkIsNotOpenedThroughAndALinkAtATemporarysNameIsNotFollowed)
{
    ASSERT_TRUE(RemoveFile(install + "\\grd.pac"));
    Plant(install + "\\grd.pac", victim + "\\secret.dat");
    Plant(install + "\\vic.pac.qupdate-new", victim + "\\eyecatch01.mpg");
    Plant(install + "\\vic.pac.qupdate-kept", victim + "\\made.dat");
    const std::string before = StateOf(victim);
    ASSERT_EQ(OpenRoot(install), ERROR_SUCCESS);

    GuardedFile file;
    EXPECT_EQ(OpenGuarded(root, L"grd.pac", nullptr,
                          DELETE | FILE_WRITE_ATTRIBUTES | FILE_WRITE_DATA, ShareAll, file),
              ErrorLinked);
    EXPECT_EQ(OpenGuarded(root, L"vic.pac", L".qupdate-new", DELETE, ShareAll, file), ErrorLinked);
    EXPECT_EQ(OpenGuarded(root, L"vic.pac", L".qupdate-kept", DELETE, ShareAll, file), ErrorLinked);
    EXPECT_EQ(CreateGuarded(root, L"vic.pac", L".qupdate-new", GENERIC_WRITE, 0, file),
              ErrorLinked);
    EXPECT_EQ(CreateGuarded(root, L"vic.pac", L".qupdate-kept", GENERIC_WRITE, 0, file),
              ErrorLinked);
    WriteFileBytes(install + "\\grd.pac.qupdate-new", "new pac");
    EXPECT_EQ(ReplaceGuarded(root, L"grd.pac", L".qupdate-new", L".qupdate-kept"), ErrorLinked);

    GuardedFile own;
    ASSERT_EQ(OpenGuarded(root, L"grd.pac", L".qupdate-new", DELETE | FILE_READ_ATTRIBUTES,
                          ShareAll, own),
              ERROR_SUCCESS);
    EXPECT_EQ(RenameGuarded(root, own, L"vic.pac", L".qupdate-new", true), ERROR_SUCCESS);
    EXPECT_EQ(DeleteGuarded(own), ERROR_SUCCESS);
    own.Close();
    EXPECT_FALSE(FileExists(install + "\\vic.pac.qupdate-new"));
    EXPECT_EQ(StateOf(victim), before);
}

// A file of the installation that is a hard link to the victim's: what would change the file
// itself is refused, and only its own name can go.
TEST_F(GuardedFiles, FileWithAnotherNameIsNeitherChangedNorCutNorReplaced)
{
    ASSERT_TRUE(RemoveFile(install + "\\grd.pac"));
    ASSERT_TRUE(CreateHardLinkW(TestPath(install + "\\grd.pac").system(),
                                TestPath(victim + "\\eyecatch01.mpg").system(), nullptr));
    const std::string before = StateOf(victim);
    ASSERT_EQ(OpenRoot(install), ERROR_SUCCESS);

    GuardedFile shared;
    ASSERT_EQ(OpenGuarded(root, L"grd.pac", nullptr,
                          DELETE | FILE_WRITE_ATTRIBUTES | FILE_WRITE_DATA, ShareAll, shared),
              ERROR_SUCCESS);
    EXPECT_EQ(shared.links, 2u);
    EXPECT_EQ(SetGuardedAttributes(root, L"grd.pac", FILE_ATTRIBUTE_NORMAL), ErrorLinked);
    const FileTimes times = TimesAt(2030);
    EXPECT_EQ(SetGuardedTimes(root, L"grd.pac", nullptr, nullptr, &times.written), ErrorLinked);
    EXPECT_EQ(CutGuarded(shared, 0), ErrorLinked);
    shared.Close();
    WriteFileBytes(install + "\\grd.pac.qupdate-new", "new pac");
    EXPECT_EQ(ReplaceGuarded(root, L"grd.pac", L".qupdate-new", L".qupdate-kept"), ErrorLinked);

    ASSERT_EQ(OpenGuarded(root, L"grd.pac", nullptr, DELETE, ShareAll, shared), ERROR_SUCCESS);
    EXPECT_EQ(DeleteGuarded(shared), ERROR_SUCCESS);
    shared.Close();
    EXPECT_FALSE(FileExists(install + "\\grd.pac"));
    EXPECT_EQ(StateOf(victim), before);
}

} // namespace
