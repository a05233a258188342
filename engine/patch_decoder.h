// Rebuilds a file from the installed version it starts from and a patch of ours, streaming:
// memory stays the same whatever the files' sizes. Built without <windows.h>, so that the
// packer's self-check and the tests run the exe's own decoder.
#pragma once

#include <stdint.h>

// Where the bytes come from and go; the caller's. Every call may take its time (the exe lets
// its window answer in them).
struct PatchIo {
    void *context;
    // Exactly size bytes at offset; false when they cannot be read.
    bool (*readPatch)(void *context, uint64_t offset, uint8_t *bytes, uint32_t size);
    bool (*readBase)(void *context, uint64_t offset, uint8_t *bytes, uint32_t size);
    // The next bytes of the rebuilt file, in order; false ends the rebuild.
    bool (*writeTarget)(void *context, const uint8_t *bytes, uint32_t size);
};

enum PatchOutcome : unsigned {
    PatchRebuilt,     // every byte of the target written
    PatchMalformed,   // not a patch of ours for these sizes, or one that contradicts itself
    PatchReadFailed,  // readPatch or readBase said no
    PatchWriteFailed, // writeTarget said no
    PatchNoMemory,
};

// The patch must be one from a base of baseSize bytes to a target of targetSize bytes; it is
// refused otherwise before anything is written. Whether the rebuilt bytes are the right ones
// is the caller's to check (their digest).
PatchOutcome RebuildFromPatch(const PatchIo &io, uint64_t patchSize, uint64_t baseSize,
                              uint64_t targetSize);
