// A copy onto a disk that fills up part-way. The full-disk script mounts a small file system
// and names a folder on it in UPDATER_TEST_FULL_DISK.
#include "../../engine/guarded_files.h"
#include "../engine/test_support.h"

#include <gtest/gtest.h>
#include <stdlib.h>

using Names = std::vector<std::string>;

class FullDisk : public testing::Test {
  protected:
    void SetUp() override
    {
        const char *folder = getenv("UPDATER_TEST_FULL_DISK");
        ASSERT_NE(folder, nullptr) << "run through tests/system/full-disk";
        disk = folder;
        install = disk + "\\install";
        MakeFolder(install);
    }
    void TearDown() override { RemoveTree(install); }

    // The new file must not fit beside the old one, or the case proves nothing.
    std::string TooBigForTheDisk()
    {
        ULARGE_INTEGER free = {};
        EXPECT_TRUE(GetDiskFreeSpaceExA((install + "\\").c_str(), &free, nullptr, nullptr));
        EXPECT_LT(free.QuadPart, 4u * 1024 * 1024) << "not a small disk";
        return PatternBytes(static_cast<size_t>(free.QuadPart) + 3 * 65536 + 77, 21);
    }

    std::string Content(const std::string &path)
    {
        std::string bytes;
        EXPECT_TRUE(ReadFileBytes(path, bytes)) << path;
        return bytes;
    }

    std::string disk, install;
    TemporaryFolder elsewhere; // the update, on the ordinary disk
    SetupEngine engine;
};

TEST_F(FullDisk, CopyFailsAndTheInstalledFileStaysByteForByte)
{
    std::string destination = install + "\\grd.pac";
    std::string old = PatternBytes(100000, 3);
    WriteFileBytes(destination, old);
    std::string source = elsewhere / "grd.pac";
    WriteFileBytes(source, TooBigForTheDisk());

    CopyCheck check = {};
    {
        GuardedRoot root;
        ASSERT_EQ(OpenGuardedRoot(root, TestPath(install).wide().c_str()), ERROR_SUCCESS);
        EXPECT_FALSE(engine.CopyVerified(StagedPlace{&root, L"grd.pac", L".qupdate-new"},
                                         TestPath(source).system(), check));
    }
    EXPECT_EQ(check.error, static_cast<DWORD>(ERROR_DISK_FULL));

    EXPECT_TRUE(SameBytes(Content(destination), old));
    EXPECT_EQ(FolderNames(install), (Names{"grd.pac"}));
}

// Known before the first change: the pass names how much room it lacks and changes nothing.
TEST_F(FullDisk, UpdatePassThatCannotFitChangesNothing)
{
    const char *mainNames[] = {"grd.pac", "vic.pac", "se.pac", nullptr};
    const char *extraNames[] = {nullptr};
    CopyFileList(engine.mainFiles, mainNames);
    CopyFileList(engine.extraFiles, extraNames);
    CopyBounded(engine.folderName, sizeof engine.folderName, "Quillarin");
    SetPathField(engine.sourceFolder, elsewhere.path());
    SetPathField(engine.installFolder, install);
    std::string update = elsewhere / "Quillarin";
    MakeFolder(update);
    for (const char *name : mainNames) {
        if (name != nullptr)
            WriteFileBytes(install + "\\" + name, PatternBytes(50000, name[0]));
    }
    WriteFileBytes(update + "\\grd.pac", PatternBytes(60000, 9));
    WriteFileBytes(update + "\\vic.pac", TooBigForTheDisk());
    WriteFileBytes(update + "\\se.pac", PatternBytes(1000, 8));
    RecordingView recorder;

    EXPECT_FALSE(engine.UpdateInstallation(recorder.view, nullptr, 0));

    ASSERT_EQ(recorder.stops.size(), 1u);
    const PassReport &told = recorder.stops[0];
    EXPECT_EQ(told.stop, StopDiskFull);
    EXPECT_GT(told.bytesNeeded, told.bytesFree);
    EXPECT_TRUE(told.unchanged);
    EXPECT_EQ(recorder.last.bytesDone, 0u) << "copied before the check";
    for (const char *name : mainNames) {
        if (name != nullptr) {
            EXPECT_TRUE(SameBytes(Content(install + "\\" + name), PatternBytes(50000, name[0])));
        }
    }
    EXPECT_EQ(FolderNames(install), (Names{"grd.pac", "se.pac", "vic.pac"}));
}
