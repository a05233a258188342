// A whole patch from two files in memory: the matching, the streams, LZMA on two threads.
// patch_tool and the tests make their patches here.
#pragma once

#include "patch_matcher.h"
#include "patch_writer.h"

#include <stdint.h>
#include <vector>

enum PatchMade {
    PatchMadeOk,
    PatchBaseTooLarge, // 2 GiB or more: no suffix array of 32-bit indexes holds it
    PatchSortFailed,
    PatchPackFailed, // LZMA said no (memory)
};

// A monotonic clock, in seconds: how long each part took.
double Seconds();

// Seconds each part took, for the tool's line.
struct PatchTimes {
    double sorting, matching, packing;
};

PatchMade MakePatch(const uint8_t *base, uint64_t baseSize, const uint8_t *target,
                    uint64_t targetSize, const MatchSettings &match, const PatchSettings &settings,
                    std::vector<uint8_t> &patch, PatchStreams &streams, PatchTimes &times);
