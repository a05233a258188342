// A copy onto a disk that fills up part-way. The full-disk script mounts a small file system
// and names a folder on it in UPDATER_TEST_FULL_DISK.
#include "../../engine/setup_engine.h"
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

    EXPECT_FALSE(engine.CopyVerified(destination.c_str(), source.c_str()));

    EXPECT_TRUE(SameBytes(Content(destination), old));
    EXPECT_EQ(FolderNames(install), (Names{"grd.pac"}));
    EXPECT_EQ(engine.sourceStream, nullptr);
    EXPECT_EQ(engine.destinationStream, nullptr);
}

TEST_F(FullDisk, UpdatePassStopsAtTheFileThatDoesNotFit)
{
    const char *mainNames[] = {"grd.pac", "vic.pac", "se.pac", nullptr};
    const char *extraNames[] = {nullptr};
    CopyFileList(engine.mainFiles, mainNames);
    CopyFileList(engine.extraFiles, extraNames);
    CopyBounded(engine.folderName, sizeof engine.folderName, "Quillarin");
    CopyBounded(engine.sourceFolder, sizeof engine.sourceFolder, elsewhere.path().c_str());
    CopyBounded(engine.installFolder, sizeof engine.installFolder, install.c_str());
    std::string update = elsewhere / "Quillarin";
    MakeFolder(update);
    for (const char *name : mainNames) {
        if (name != nullptr)
            WriteFileBytes(install + "\\" + name, PatternBytes(50000, name[0]));
    }
    std::string grd = PatternBytes(60000, 9);
    WriteFileBytes(update + "\\grd.pac", grd);
    std::string oldVic = PatternBytes(50000, 'v');
    WriteFileBytes(update + "\\vic.pac", TooBigForTheDisk());
    WriteFileBytes(update + "\\se.pac", PatternBytes(1000, 8));

    EXPECT_FALSE(engine.CopyUpdateFiles());
    EXPECT_STREQ(engine.currentName, "vic.pac");
    EXPECT_EQ(engine.ClassifyFailure(), FailureDiskFull) << "error " << engine.failureError;

    EXPECT_TRUE(SameBytes(Content(install + "\\grd.pac"), grd));
    EXPECT_TRUE(SameBytes(Content(install + "\\vic.pac"), oldVic));
    EXPECT_TRUE(SameBytes(Content(install + "\\se.pac"), PatternBytes(50000, 's')));
    EXPECT_EQ(FolderNames(install), (Names{"grd.pac", "se.pac", "vic.pac"}));
}
