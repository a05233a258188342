// The list of an update that the packer binds into the exe: every file with its size, write
// time and SHA-256. A list that cannot be read whole refuses the update; it never falls back
// to the plain lists, which would install whatever lies beside the exe.
#include "../resources/resource_ids.h"
#include "setup_engine.h"

#include <stdlib.h>
#include <string.h>

namespace {

const char BoundMagic[8] = {'Q', 'U', 'P', 'D', 'M', 'A', 'N', '1'};
enum : DWORD {
    BoundHeaderSize = 16,
    BoundEntrySize = 176,
    BoundCountLimit = 65536,
};
static_assert(sizeof(BoundFile) == BoundEntrySize, "the packer writes 176-byte entries");

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

} // namespace

bool ParseBoundManifest(const void *bytes, DWORD size, BoundFile **files, DWORD *count)
{
    *files = nullptr;
    *count = 0;
    const BYTE *data = static_cast<const BYTE *>(bytes);
    if (data == nullptr || size < BoundHeaderSize || memcmp(data, BoundMagic, 8) != 0)
        return false;
    DWORD entries = ReadLittleEndian32(data + 8);
    if (ReadLittleEndian32(data + 12) != BoundEntrySize || entries == 0 ||
        entries > BoundCountLimit || size != BoundHeaderSize + entries * BoundEntrySize)
        return false;
    BoundFile *parsed = static_cast<BoundFile *>(calloc(entries, sizeof(BoundFile)));
    if (parsed == nullptr)
        FatalError();
    // Copied out: the resource need not be aligned for the 64-bit fields.
    memcpy(parsed, data + BoundHeaderSize, entries * sizeof(BoundFile));
    bool good = true;
    for (DWORD i = 0; good && i < entries; ++i) {
        good = WellFormedName(parsed[i].name) && parsed[i].size <= 0xFFFFFFFFull;
        for (DWORD j = 0; good && j < i; ++j)
            good = strcmp(parsed[i].name, parsed[j].name) != 0;
    }
    if (!good) {
        free(parsed);
        return false;
    }
    *files = parsed;
    *count = entries;
    return true;
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
