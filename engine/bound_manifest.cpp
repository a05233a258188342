// The list of an update that the packer binds into the exe: every file with its size, write
// time and SHA-256, and the patches that rebuild some of them from earlier versions. A list
// that cannot be read whole refuses the update; it never falls back to the plain lists, which
// would install whatever lies beside the exe.
#include "../resources/resource_ids.h"
#include "setup_engine.h"

#include <stdlib.h>
#include <string.h>

namespace {

// Version 1 lists whole files; version 2 adds the patches that rebuild files from earlier
// versions of them.
const char WholeMagic[8] = {'Q', 'U', 'P', 'D', 'M', 'A', 'N', '1'};
const char PatchedMagic[8] = {'Q', 'U', 'P', 'D', 'M', 'A', 'N', '2'};
enum : DWORD {
    WholeHeaderSize = 16,
    PatchedHeaderSize = 24,
    BoundEntrySize = 176,
    PatchEntrySize = 88,
    BoundCountLimit = 65536,
    PatchesPerFileLimit = 32,
};
static_assert(sizeof(BoundFile) == BoundEntrySize, "the packer writes 176-byte entries");
static_assert(sizeof(BoundPatch) == PatchEntrySize, "the packer writes 88-byte patch entries");

// A name as the lists hold them: not empty, ended within its field, zeros after the end.
bool WellFormedName(const char *name)
{
    const char *end = static_cast<const char *>(memchr(name, '\0', BoundNameCapacity));
    if (end == nullptr || end == name)
        return false;
    for (const char *rest = end; rest < name + BoundNameCapacity; ++rest) {
        if (*rest != '\0')
            return false;
    }
    return true;
}

bool WellFormedFiles(const BoundFile *files, DWORD count)
{
    bool good = true;
    for (DWORD i = 0; good && i < count; ++i) {
        good = WellFormedName(files[i].name) && files[i].size <= 0xFFFFFFFFull;
        for (DWORD j = 0; good && j < i; ++j)
            good = strcmp(files[i].name, files[j].name) != 0;
    }
    return good;
}

// Grouped by file, a few to a file, each from a base of its own that is not already the new
// file, and every length one the copy can count.
bool WellFormedPatches(const BoundUpdate &update)
{
    DWORD run = 0;
    for (DWORD i = 0; i < update.patchCount; ++i) {
        const BoundPatch &patch = update.patches[i];
        if (patch.file >= update.fileCount || patch.zero != 0 || patch.size == 0 ||
            patch.size > 0xFFFFFFFFull || patch.baseSize > 0xFFFFFFFFull ||
            memcmp(patch.baseDigest, update.files[patch.file].digest, DigestSize) == 0)
            return false;
        bool sameFile = i > 0 && update.patches[i - 1].file == patch.file;
        if (i > 0 && update.patches[i - 1].file > patch.file)
            return false;
        run = sameFile ? run + 1 : 1;
        if (run > PatchesPerFileLimit)
            return false;
        for (DWORD j = i - (run - 1); j < i; ++j) {
            if (memcmp(update.patches[j].baseDigest, patch.baseDigest, DigestSize) == 0)
                return false;
        }
    }
    return true;
}

// Copied out: the resource need not be aligned for the 64-bit fields.
void *CopiedOut(const BYTE *at, DWORD count, DWORD size)
{
    void *block = calloc(count != 0 ? count : 1, size);
    if (block == nullptr)
        FatalError();
    memcpy(block, at, static_cast<size_t>(count) * size);
    return block;
}

} // namespace

bool ParseBoundManifest(const void *bytes, DWORD size, BoundUpdate &update)
{
    memset(&update, 0, sizeof update);
    const BYTE *data = static_cast<const BYTE *>(bytes);
    if (data == nullptr || size < WholeHeaderSize)
        return false;
    bool patched = memcmp(data, PatchedMagic, 8) == 0;
    if (!patched && memcmp(data, WholeMagic, 8) != 0)
        return false;
    DWORD header = patched ? PatchedHeaderSize : WholeHeaderSize;
    if (size < header)
        return false;
    DWORD files = ReadLittleEndian32(data + 8);
    DWORD patches = patched ? ReadLittleEndian32(data + 16) : 0;
    if (ReadLittleEndian32(data + 12) != BoundEntrySize ||
        (patched && ReadLittleEndian32(data + 20) != PatchEntrySize) || files == 0 ||
        files > BoundCountLimit || patches > BoundCountLimit ||
        size != header + files * BoundEntrySize + patches * PatchEntrySize)
        return false;
    update.files = static_cast<BoundFile *>(CopiedOut(data + header, files, BoundEntrySize));
    update.fileCount = files;
    update.patches = static_cast<BoundPatch *>(
        CopiedOut(data + header + files * BoundEntrySize, patches, PatchEntrySize));
    update.patchCount = patches;
    if (!WellFormedFiles(update.files, files) || !WellFormedPatches(update)) {
        ReleaseBoundUpdate(update);
        return false;
    }
    return true;
}

void ReleaseBoundUpdate(BoundUpdate &update)
{
    free(update.files);
    free(update.patches);
    memset(&update, 0, sizeof update);
}

bool FindBoundManifest(const void **bytes, DWORD *size)
{
    *bytes = nullptr;
    *size = 0;
    HRSRC resource = FindResourceA(nullptr, MAKEINTRESOURCEA(IDR_BOUND_MANIFEST), RT_RCDATA);
    if (resource == nullptr)
        return false;
    HGLOBAL loaded = LoadResource(nullptr, resource);
    const void *locked = loaded != nullptr ? LockResource(loaded) : nullptr;
    // Present but unreadable: an empty list, which the parser refuses.
    *bytes = locked != nullptr ? locked : "";
    *size = locked != nullptr ? SizeofResource(nullptr, resource) : 0;
    return true;
}
