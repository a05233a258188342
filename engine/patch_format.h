// The layout of our binary patches (docs/patch-format.md says it in words): what the packer's
// encoder writes and the exe's decoder reads. Built without <windows.h>, on both sides.
#pragma once

#include <stdint.h>

// "QUPATCH" and a byte that ends a text listing, then the version.
const uint8_t PatchMagic[8] = {'Q', 'U', 'P', 'A', 'T', 'C', 'H', 0x1A};
enum : uint32_t { PatchVersion = 1 };

// Three raw LZMA streams follow the header, in this order.
enum PatchStreamIndex : unsigned {
    ControlStream, // the commands
    DiffStream,    // the bytes added to the base's by Add commands
    LiteralStream, // the bytes of New commands
    PatchStreamCount,
};

// Header, little-endian throughout. A stream's descriptor: its LZMA properties (lc/lp/pb byte
// and dictionary size, as LZMA writes them), three zero bytes, its packed and decoded sizes.
enum : uint32_t {
    PatchVersionOffset = 8,     // uint32_t
    PatchWordOffset = 12,       // uint8_t, the diff stream's word size; then three zero bytes
    PatchBaseSizeOffset = 16,   // uint64_t
    PatchTargetSizeOffset = 24, // uint64_t
    PatchStreamsOffset = 32,
    PatchDescriptorSize = 24,
    PatchPropertiesSize = 5,     // at the descriptor's start
    PatchPackedSizeOffset = 8,   // uint64_t, within the descriptor
    PatchDecodedSizeOffset = 16, // uint64_t, within the descriptor
    PatchHeaderSize = PatchStreamsOffset + PatchStreamCount * PatchDescriptorSize,
};

// A command of the control stream: a kind byte, the length in target bytes (an unsigned
// varint of length - 1), and for Copy and Add where their base bytes start, as a signed
// (zigzag) varint relative to the end of the previous Copy or Add (0 at first).
enum PatchCommandKind : uint8_t {
    CommandCopy = 0, // base bytes as they are
    CommandAdd = 1,  // base bytes plus diff bytes, word by word
    CommandNew = 2,  // literal bytes
};

// An Add adds little-endian words: the target's offsets fall into words of this many bytes
// (1, 2, 4 or 8) from the file's start, and a carry goes on to the next byte of the same word
// within the same command. A pointer or offset that moved by a few bytes then differs in one
// byte instead of in two or three, and its difference repeats.
enum : uint8_t { PatchLargestWord = 8 };

enum : uint32_t {
    PatchVarintMaxBytes = 10,
    PatchCommandMaxBytes = 1 + 2 * PatchVarintMaxBytes,
    // The decoder's windows (each stream's dictionary, or its decoded size when smaller) add
    // up to at most this.
    PatchWindowLimit = 16u << 20,
    // lc + lp at most this, as in LZMA2: the literal coder's tables stay at 28 KiB.
    PatchLiteralBitsLimit = 4,
    // The decoder hands the rebuilt file over in pieces of at most this.
    PatchTargetPieceLimit = 256u << 10,
};

inline uint64_t PatchGet64(const uint8_t *at)
{
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = value << 8 | at[i];
    return value;
}

inline uint32_t PatchGet32(const uint8_t *at)
{
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
           static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}

inline void PatchPut64(uint8_t *at, uint64_t value)
{
    for (int i = 0; i < 8; ++i)
        at[i] = static_cast<uint8_t>(value >> (8 * i));
}

inline void PatchPut32(uint8_t *at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<uint8_t>(value >> (8 * i));
}

// Signed offsets as unsigned varints: 0, -1, 1, -2, 2... become 0, 1, 2, 3, 4...
inline uint64_t PatchZigzag(int64_t value)
{
    return value < 0 ? (static_cast<uint64_t>(-(value + 1)) << 1) | 1
                     : static_cast<uint64_t>(value) << 1;
}
