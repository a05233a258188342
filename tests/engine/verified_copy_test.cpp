// One file copied through the 64 KiB buffer into a temporary file beside the destination,
// which replaces the destination only once it is known to be whole.
#include "../../engine/setup_engine.h"
#include "test_support.h"

#include <gtest/gtest.h>

using Names = std::vector<std::string>;

class VerifiedCopy : public testing::Test {
  protected:
    bool Copy(const std::string &destination, const std::string &source)
    {
        bool copied = engine.CopyVerified(destination.c_str(), source.c_str());
        EXPECT_EQ(engine.sourceStream, nullptr);
        EXPECT_EQ(engine.destinationStream, nullptr);
        return copied;
    }

    std::string Content(const std::string &path)
    {
        std::string bytes;
        EXPECT_TRUE(ReadFileBytes(path, bytes)) << path;
        return bytes;
    }

    TemporaryFolder folder;
    std::string source = folder / "new.pac";
    std::string destination = folder / "grd.pac";
    SetupEngine engine;
};

TEST_F(VerifiedCopy, EverySizeArrivesByteForByte)
{
    // Around the block size, the size of one short tail block, and several full blocks.
    const size_t sizes[] = {0, 1, 65535, 65536, 65537, 70000, 5 * 65536 + 4464};
    for (size_t size : sizes) {
        SCOPED_TRACE(size);
        std::string bytes = PatternBytes(size, static_cast<unsigned>(size));
        WriteFileBytes(source, bytes);
        DeleteFileA(destination.c_str());
        EXPECT_TRUE(Copy(destination, source));
        EXPECT_TRUE(SameBytes(Content(destination), bytes));
        EXPECT_EQ(FolderNames(folder.path()), (Names{"grd.pac", "new.pac"}));
    }
}

TEST_F(VerifiedCopy, InstalledFileIsReplacedByExactlyTheNewContent)
{
    // Shorter than the old file: no old tail may survive; longer: nothing may be cut off.
    const size_t sizes[] = {0, 70000, 300000};
    for (size_t size : sizes) {
        SCOPED_TRACE(size);
        WriteFileBytes(destination, PatternBytes(200000, 3));
        std::string bytes = PatternBytes(size, 11);
        WriteFileBytes(source, bytes);
        EXPECT_TRUE(Copy(destination, source));
        EXPECT_TRUE(SameBytes(Content(destination), bytes));
        EXPECT_TRUE(SameBytes(Content(source), bytes));
        EXPECT_EQ(FolderNames(folder.path()), (Names{"grd.pac", "new.pac"}));
    }
}

TEST_F(VerifiedCopy, MissingSourceFailsAndLeavesTheDestinationAlone)
{
    EXPECT_FALSE(Copy(destination, source));
    EXPECT_FALSE(FileExists(destination)) << "an absent destination is not created";

    std::string old = PatternBytes(1000, 5);
    WriteFileBytes(destination, old);
    EXPECT_FALSE(Copy(destination, source));
    EXPECT_TRUE(SameBytes(Content(destination), old));
    EXPECT_EQ(FolderNames(folder.path()), (Names{"grd.pac"}));
}

TEST_F(VerifiedCopy, MissingDestinationFolderFailsAndCreatesNothing)
{
    WriteFileBytes(source, PatternBytes(70000, 2));
    EXPECT_FALSE(Copy(folder / "movie/eyecatch01.mpg", source));
    EXPECT_FALSE(Copy(folder / "movie\\eyecatch01.mpg", source));
    EXPECT_EQ(FolderNames(folder.path()), (Names{"new.pac"}));
}

TEST_F(VerifiedCopy, DestinationInUseIsLeftAsItWasWithNoTemporaryFile)
{
    // A running game holding its data: however it shares the file, it does not let it be
    // deleted, so it cannot be replaced either.
    const DWORD shares[] = {0, FILE_SHARE_READ, FILE_SHARE_READ | FILE_SHARE_WRITE};
    std::string old = PatternBytes(150000, 8);
    WriteFileBytes(destination, old);
    WriteFileBytes(source, PatternBytes(100000, 9));
    for (DWORD share : shares) {
        SCOPED_TRACE(share);
        HeldOpen game(destination, GENERIC_READ, share);
        EXPECT_FALSE(Copy(destination, source));
        game.Release();
        EXPECT_TRUE(SameBytes(Content(destination), old));
        EXPECT_EQ(FolderNames(folder.path()), (Names{"grd.pac", "new.pac"}));
    }
}

TEST_F(VerifiedCopy, SourceStillBeingWrittenIsNotCopied)
{
    // Another program writing the new file would give a torn copy.
    std::string old = PatternBytes(120000, 4);
    WriteFileBytes(destination, old);
    WriteFileBytes(source, PatternBytes(90000, 6));
    {
        HeldOpen writer(source, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
        EXPECT_FALSE(Copy(destination, source));
    }
    EXPECT_TRUE(SameBytes(Content(destination), old));
    EXPECT_EQ(FolderNames(folder.path()), (Names{"grd.pac", "new.pac"}));
}

TEST_F(VerifiedCopy, SourceThatAnotherProgramIsReadingIsCopied)
{
    // A scanner or file browser looking at the new file is no reason to stop the update.
    WriteFileBytes(destination, PatternBytes(5000, 4));
    std::string fresh = PatternBytes(90000, 6);
    WriteFileBytes(source, fresh);
    {
        HeldOpen reader(source, GENERIC_READ, FILE_SHARE_READ);
        ASSERT_TRUE(reader.held());
        EXPECT_TRUE(Copy(destination, source));
    }
    EXPECT_TRUE(SameBytes(Content(destination), fresh));
    EXPECT_EQ(FolderNames(folder.path()), (Names{"grd.pac", "new.pac"}));
}

TEST_F(VerifiedCopy, AnySizeDifferenceFailsAndKeepsTheInstalledFile)
{
    // Files whose stated size is not what reading them yields: /proc states 0 bytes and
    // gives more, /sys states 4096 and gives a few. Both copies come out with the bytes read,
    // so the sizes differ each time, by far less than one block.
    const char *sources[] = {"Z:\\proc\\version", "Z:\\sys\\devices\\system\\cpu\\online"};
    std::string old = PatternBytes(3000, 1);
    WriteFileBytes(destination, old);
    int tried = 0;
    for (const char *odd : sources) {
        SCOPED_TRACE(odd);
        if (!FileExists(odd))
            continue;
        ++tried;
        EXPECT_FALSE(Copy(destination, odd));
        EXPECT_TRUE(SameBytes(Content(destination), old));
        EXPECT_EQ(FolderNames(folder.path()), (Names{"grd.pac"}));
    }
    ASSERT_GT(tried, 0) << "no file with a misleading size to copy from";
}
