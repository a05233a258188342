// The exe's decoder on real files: a file rebuilt from its installed version and a patch made
// as the packer makes them, through callbacks that read and write files as the pass does.
// The decoder's own cases (damaged patches, every buffer's boundary) run natively, beside the
// packer's encoder (tests/patch).
#include "../../engine/patch_decoder.h"
#include "test_support.h"

#include <gtest/gtest.h>

namespace {

struct PatchFiles {
    HANDLE patch, base, target;
};

bool ReadAt(HANDLE file, uint64_t offset, uint8_t *bytes, uint32_t size)
{
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD read = 0;
    return ReadFile(file, bytes, size, &read, &at) && read == size;
}

bool ReadPatch(void *context, uint64_t offset, uint8_t *bytes, uint32_t size)
{
    return ReadAt(static_cast<PatchFiles *>(context)->patch, offset, bytes, size);
}

bool ReadBase(void *context, uint64_t offset, uint8_t *bytes, uint32_t size)
{
    return ReadAt(static_cast<PatchFiles *>(context)->base, offset, bytes, size);
}

bool WriteTarget(void *context, const uint8_t *bytes, uint32_t size)
{
    DWORD written = 0;
    return WriteFile(static_cast<PatchFiles *>(context)->target, bytes, size, &written, nullptr) &&
           written == size;
}

HANDLE Open(const TestPath &path, DWORD access, DWORD disposition)
{
    return CreateFileW(path.system(), access, FILE_SHARE_READ, nullptr, disposition, 0, nullptr);
}

TEST(PatchRebuild, FileRebuiltFromItsInstalledVersionAndAPatch)
{
    TemporaryFolder folder;
    // A game archive's next version: entries rewritten in place, a table's numbers moved by a
    // few bytes, and new entries at the end.
    const std::string base = PatternBytes((3u << 20) + 123, 1);
    std::string target = base;
    for (size_t at = 100000; at < 200000; ++at)
        target[at] = static_cast<char>(target[at] ^ 0x5A);
    for (size_t at = 1u << 20; at < (1u << 20) + 40000; at += 16)
        target[at] = static_cast<char>(target[at] + 12);
    target += PatternBytes(70000, 9);
    WriteFileBytes(folder / "grd.pac", base);
    WriteFileBytes(folder / "grd.pac.patch", PatchBytes(base, target));

    PatchFiles files = {Open(folder / "grd.pac.patch", GENERIC_READ, OPEN_EXISTING),
                        Open(folder / "grd.pac", GENERIC_READ, OPEN_EXISTING),
                        Open(folder / "grd.pac.qupdate-new", GENERIC_WRITE, CREATE_NEW)};
    ASSERT_NE(INVALID_HANDLE_VALUE, files.patch);
    ASSERT_NE(INVALID_HANDLE_VALUE, files.base);
    ASSERT_NE(INVALID_HANDLE_VALUE, files.target);
    LARGE_INTEGER patchSize;
    ASSERT_TRUE(GetFileSizeEx(files.patch, &patchSize));
    PatchIo io = {&files, ReadPatch, ReadBase, WriteTarget};
    EXPECT_EQ(PatchRebuilt, RebuildFromPatch(io, static_cast<uint64_t>(patchSize.QuadPart),
                                             base.size(), target.size()));
    CloseHandle(files.patch);
    CloseHandle(files.base);
    CloseHandle(files.target);

    std::string rebuilt;
    ASSERT_TRUE(ReadFileBytes(folder / "grd.pac.qupdate-new", rebuilt));
    EXPECT_TRUE(SameBytes(rebuilt, target));
}

} // namespace
