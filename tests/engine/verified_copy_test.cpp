// One file copied through the 64 KiB buffer into a staged file of the pass, checked as it
// goes: its size, and for a bound update its SHA-256, on the bytes the copy itself moved.
#include "../../engine/guarded_files.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <string.h>

using Names = std::vector<std::string>;

class VerifiedCopy : public testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_EQ(OpenGuardedRoot(root, TestPath(folder.path()).wide().c_str()), ERROR_SUCCESS);
    }

    // Into a name in the folder, as the pass stages a file.
    bool Copy(const std::string &name, const std::string &source, const BoundFile *bound = nullptr)
    {
        check = CopyCheck();
        check.bound = bound;
        std::wstring wide = TestPath(name).wide();
        return engine.CopyVerified(StagedPlace{&root, wide.c_str(), nullptr},
                                   TestPath(source).system(), check);
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
    CopyCheck check;
    GuardedRoot root;
};

TEST_F(VerifiedCopy, EverySizeArrivesByteForByte)
{
    // Around the block size, the size of one short tail block, and several full blocks.
    const size_t sizes[] = {0, 1, 65535, 65536, 65537, 70000, 5 * 65536 + 4464};
    for (size_t size : sizes) {
        SCOPED_TRACE(size);
        std::string bytes = PatternBytes(size, static_cast<unsigned>(size));
        WriteFileBytes(source, bytes);
        RemoveFile(destination);
        EXPECT_TRUE(Copy("grd.pac", source));
        EXPECT_TRUE(SameBytes(Content(destination), bytes));
        EXPECT_EQ(FolderNames(folder.path()), (Names{"grd.pac", "new.pac"}));
    }
}

TEST_F(VerifiedCopy, MissingSourceFailsAndLeavesTheDestinationAlone)
{
    EXPECT_FALSE(Copy("grd.pac", source));
    EXPECT_FALSE(FileExists(destination)) << "an absent destination is not created";

    std::string old = PatternBytes(1000, 5);
    WriteFileBytes(destination, old);
    EXPECT_FALSE(Copy("grd.pac", source));
    EXPECT_TRUE(SameBytes(Content(destination), old));
    EXPECT_EQ(FolderNames(folder.path()), (Names{"grd.pac"}));
}

TEST_F(VerifiedCopy, MissingDestinationFolderFailsAndCreatesNothing)
{
    WriteFileBytes(source, PatternBytes(70000, 2));
    EXPECT_FALSE(Copy("movie/eyecatch01.mpg", source));
    EXPECT_FALSE(Copy("movie\\eyecatch01.mpg", source));
    EXPECT_EQ(FolderNames(folder.path()), (Names{"new.pac"}));
}

TEST_F(VerifiedCopy, SourceStillBeingWrittenIsNotCopied)
{
    // Another program writing the new file would give a torn copy.
    std::string old = PatternBytes(120000, 4);
    WriteFileBytes(destination, old);
    WriteFileBytes(source, PatternBytes(90000, 6));
    {
        HeldOpen writer(source, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
        EXPECT_FALSE(Copy("grd.pac", source));
    }
    EXPECT_TRUE(SameBytes(Content(destination), old));
    EXPECT_EQ(FolderNames(folder.path()), (Names{"grd.pac", "new.pac"}));
}

TEST_F(VerifiedCopy, SourceThatAnotherProgramIsReadingIsCopied)
{
    // A scanner or file browser looking at the new file is no reason to stop the update.
    std::string fresh = PatternBytes(90000, 6);
    WriteFileBytes(source, fresh);
    {
        HeldOpen reader(source, GENERIC_READ, FILE_SHARE_READ);
        ASSERT_TRUE(reader.held());
        EXPECT_TRUE(Copy("grd.pac", source));
    }
    EXPECT_TRUE(SameBytes(Content(destination), fresh));
    EXPECT_EQ(FolderNames(folder.path()), (Names{"grd.pac", "new.pac"}));
}

TEST_F(VerifiedCopy, AnySizeDifferenceFailsAndLeavesNothing)
{
    // Files whose stated size is not what reading them yields: /proc states 0 bytes and
    // gives more, /sys states 4096 and gives a few. Both copies come out with the bytes read,
    // so the sizes differ each time, by far less than one block.
    const char *sources[] = {"Z:\\proc\\version", "Z:\\sys\\devices\\system\\cpu\\online"};
    int tried = 0;
    for (const char *odd : sources) {
        SCOPED_TRACE(odd);
        if (!FileExists(odd))
            continue;
        ++tried;
        RemoveFile(destination);
        EXPECT_FALSE(Copy("grd.pac", odd));
        EXPECT_FALSE(check.damaged) << "only a bound file is damaged";
        EXPECT_EQ(FolderNames(folder.path()), Names{});
    }
    ASSERT_GT(tried, 0) << "no file with a misleading size to copy from";
}

// The digest is SHA-256 itself (a published test vector), and a bound file whose bytes or
// size differ is damaged and leaves no staged file.
TEST_F(VerifiedCopy, BoundFileMustHaveItsDigestAndSize)
{
    const unsigned char abc[] = {0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40,
                                 0xde, 0x5d, 0xae, 0x22, 0x23, 0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17,
                                 0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};
    BoundFile bound = {};
    bound.size = 3;
    bound.written = TimesAt(2031).written;
    memcpy(bound.digest, abc, sizeof abc);
    WriteFileBytes(source, "abc");
    EXPECT_TRUE(Copy("grd.pac", source, &bound));
    EXPECT_EQ(Content(destination), "abc");
    FileTimes times = TimesOf(destination);
    EXPECT_EQ(CompareFileTime(&times.written, &bound.written), 0);

    for (const char *other : {"abd", "abcd", "ab"}) {
        SCOPED_TRACE(other);
        WriteFileBytes(source, other);
        RemoveFile(destination);
        EXPECT_FALSE(Copy("grd.pac", source, &bound));
        EXPECT_TRUE(check.damaged);
        EXPECT_FALSE(FileExists(destination));
    }

    // Across blocks: the digest of a large file as the system computes it in one go.
    std::string large = PatternBytes(3 * 65536 + 17, 5);
    WriteFileBytes(source, large);
    bound.size = large.size();
    memcpy(bound.digest, Sha256Of(large).data(), 32);
    EXPECT_TRUE(Copy("grd.pac", source, &bound));
    EXPECT_TRUE(SameBytes(Content(destination), large));
}

// The staged file is made new: whatever holds its name already, a link to a file elsewhere
// (whose target is missing, where opening it "wb" would create it) or a file of its own, is
// never written.
TEST_F(VerifiedCopy, ExistingNameIsNeverWrittenThroughOrOver)
{
    TemporaryFolder elsewhere;
    WriteFileBytes(elsewhere / "save.dat", "the victim's save");
    WriteFileBytes(source, PatternBytes(70000, 8));
    const std::string before = StateOf(elsewhere.path());
    for (const char *target : {"save.dat", "new.dat"}) {
        SCOPED_TRACE(target);
        ASSERT_TRUE(PlantSymbolicLink(destination, elsewhere / target));
        EXPECT_FALSE(Copy("grd.pac", source));
        EXPECT_EQ(check.error, ErrorLinked);
        EXPECT_EQ(StateOf(elsewhere.path()), before);
        RemoveThroughUnix(destination);
    }

    WriteFileBytes(destination, "staged by another");
    EXPECT_FALSE(Copy("grd.pac", source));
    EXPECT_EQ(check.error, static_cast<DWORD>(ERROR_FILE_EXISTS));
    EXPECT_EQ(Content(destination), "staged by another");
}
