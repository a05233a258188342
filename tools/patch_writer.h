// The writing side of docs/patch-format.md: commands gathered into the three streams, the
// streams compressed with LZMA and laid out behind the header. The encoder's matching ends
// here, and so does the tests' simple patch, which needs no suffix array.
#pragma once

#include "../engine/patch_format.h"

#include <stddef.h>
#include <stdint.h>
#include <vector>

// LZMA's settings for one stream.
struct StreamSettings {
    uint32_t dictionary;
    uint8_t lc, lp, pb;
    uint16_t fastBytes;
};

struct PatchSettings {
    StreamSettings streams[PatchStreamCount];
    // An exact stretch of an aligned run at least this long is copied rather than added: the
    // decoder then reads it from the base in blocks instead of decoding a byte of LZMA for
    // each of its bytes.
    uint32_t shortestCopy;
    // The diff stream's word (1, 2, 4 or 8 bytes), or 0: the one whose diff stream LZMA
    // packs best. Which suits depends on the file: 4 or 8 where moved code changes pointers
    // and offsets, 1 where the changes are of other kinds.
    uint8_t word;
};

extern const PatchSettings DefaultPatchSettings;

// The commands as they are given, in target order; the one given last is held back so that
// the next can lengthen it.
struct PatchStreams {
    uint64_t baseSize, targetSize;
    uint8_t word;
    uint64_t targetDone; // target bytes the commands cover
    uint64_t basePos;    // where the last Copy or Add ended in the base
    uint64_t commands;
    uint8_t pendingKind;
    uint64_t pendingStart, pendingLength;
    const uint8_t *pendingBase, *pendingTarget; // an Add's bytes, differenced when written
    std::vector<uint8_t> bytes[PatchStreamCount];
};

void StartPatch(PatchStreams &streams, uint64_t baseSize, uint64_t targetSize, uint8_t word);
// The next target bytes: length base bytes from baseOffset as they are; the same plus the
// differences between target and base, word by word; or target's bytes themselves. The
// bytes must stay where they are until FinishPatch.
void AddCopy(PatchStreams &streams, uint64_t baseOffset, uint64_t length);
void AddDifference(PatchStreams &streams, const uint8_t *base, uint64_t baseOffset,
                   const uint8_t *target, uint64_t length);
void AddNew(PatchStreams &streams, const uint8_t *target, uint64_t length);
// How many bytes from the start of a and b agree, at most limit.
uint64_t AgreeingRun(const uint8_t *a, const uint8_t *b, uint64_t limit);
// target's length bytes aligned with the base at baseOffset: exact stretches of at least
// shortestCopy bytes copied, the rest added.
void AddAligned(PatchStreams &streams, const uint8_t *base, uint64_t baseOffset,
                const uint8_t *target, uint64_t length, uint32_t shortestCopy);
// Writes the command held back; then every target byte must be covered.
void FinishPatch(PatchStreams &streams);

struct PackedStream {
    uint8_t properties[PatchPropertiesSize]; // zeros for an empty stream
    std::vector<uint8_t> bytes;
};

// One stream through LZMA (no end mark). False when LZMA fails: no memory.
bool PackStream(const std::vector<uint8_t> &decoded, const StreamSettings &settings,
                PackedStream &packed);
// What LZMA at its fastest makes of the stream, or of slices of a long one: to compare ways of
// writing a stream before it is packed for good.
uint64_t QuickPackedSize(const std::vector<uint8_t> &decoded, const StreamSettings &settings);
void LayOutPatch(const PatchStreams &streams, const PackedStream *packed,
                 std::vector<uint8_t> &patch);
// The three streams packed one after the other, then laid out.
bool PackPatch(const PatchStreams &streams, const PatchSettings &settings,
               std::vector<uint8_t> &patch);

// A patch made without a suffix array, for the tests: block by block at the same offsets,
// equal blocks copied, similar ones added, the others new.
bool BlockwisePatch(const uint8_t *base, uint64_t baseSize, const uint8_t *target,
                    uint64_t targetSize, std::vector<uint8_t> &patch);
