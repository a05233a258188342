// The encoder's matching, after Colin Percival, "Naive differences of executable code" (2003):
// the target is covered by stretches aligned with the base, found as exact matches through
// a suffix array of the base and extended while most of their bytes agree; what no stretch
// covers is new. Long runs of one byte and short repeated patterns cost no more than other
// bytes: an alignment that still agrees is followed through its exact run at once.
#pragma once

#include "patch_writer.h"

#include <stdint.h>
#include <vector>

struct MatchSettings {
    // An exact run of the current alignment at least this long is taken without searching.
    uint32_t followedRun;
    // A match found elsewhere starts a new alignment when, over its bytes and lookAhead bytes
    // after them, it agrees on at least margin bytes more than the current alignment does.
    uint32_t margin;
    uint32_t lookAhead;
};

extern const MatchSettings DefaultMatchSettings;

// A stretch of the target aligned with the base; the bytes up to the next stretch are new.
struct AlignedStretch {
    uint64_t targetStart, baseStart, length;
};

// The base's suffixes in order, from libdivsufsort, with where each first two bytes begin.
struct SuffixIndex {
    const uint8_t *base;
    uint32_t baseSize;
    std::vector<int32_t> suffixes;
    std::vector<uint32_t> firstTwo; // 65537 bounds into suffixes
};

// False when the base is 2 GiB or more, or its suffixes could not be sorted.
bool IndexBase(const uint8_t *base, uint64_t baseSize, SuffixIndex &index);
void FindStretches(const SuffixIndex &index, const uint8_t *target, uint64_t targetSize,
                   const MatchSettings &settings, std::vector<AlignedStretch> &stretches);
// The stretches, and the new bytes between them, as commands.
void WriteStretches(const uint8_t *base, uint64_t baseSize, const uint8_t *target,
                    uint64_t targetSize, const std::vector<AlignedStretch> &stretches,
                    const PatchSettings &settings, PatchStreams &streams);
