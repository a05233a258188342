#include "patch_writer.h"

#include <stdlib.h>
#include <string.h>

#include <LzmaEnc.h>

// Measured on successive versions of large programs (scripts/benchmark-patches): the most
// fast bytes carry the diff stream's runs of zeros, whose matches are long. A larger
// shortest copy makes smaller patches (fewer commands); exact stretches shorter than it are
// runs of zeros in the diff stream, which LZMA decodes at the speed of a copy.
const PatchSettings DefaultPatchSettings = {
    {
        {1u << 20, 0, 0, 0, 273}, // control
        {4u << 20, 3, 0, 0, 273}, // diff
        {8u << 20, 3, 0, 0, 273}, // literal
    },
    4096,
    0,
};

void StartPatch(PatchStreams &streams, uint64_t baseSize, uint64_t targetSize, uint8_t word)
{
    streams.baseSize = baseSize;
    streams.word = word;
    streams.targetSize = targetSize;
    streams.targetDone = 0;
    streams.basePos = 0;
    streams.commands = 0;
    streams.pendingLength = 0;
    streams.pendingKind = CommandNew;
    streams.pendingStart = 0;
    streams.pendingBase = streams.pendingTarget = nullptr;
    for (std::vector<uint8_t> &bytes : streams.bytes)
        bytes.clear();
}

static void PutVarint(std::vector<uint8_t> &bytes, uint64_t value)
{
    while (value >= 0x80) {
        bytes.push_back(static_cast<uint8_t>(value | 0x80));
        value >>= 7;
    }
    bytes.push_back(static_cast<uint8_t>(value));
}

// target - base for each word of the target's offsets from targetPos on, as little-endian
// numbers: subtracted byte by byte, with a borrow that stays inside its word.
static void PutDifferences(std::vector<uint8_t> &diff, const uint8_t *base, const uint8_t *target,
                           uint64_t targetPos, uint64_t length, uint8_t word)
{
    size_t at = diff.size();
    diff.resize(at + length);
    const uint64_t wordMask = word - 1u;
    unsigned borrow = 0;
    for (uint64_t i = 0; i < length; ++i) {
        if (((targetPos + i) & wordMask) == 0)
            borrow = 0;
        unsigned subtracted = base[i] + borrow;
        diff[at + i] = static_cast<uint8_t>(target[i] - subtracted);
        borrow = target[i] < subtracted ? 1 : 0;
    }
}

static void WritePending(PatchStreams &streams)
{
    if (streams.pendingLength == 0)
        return;
    if (streams.pendingKind == CommandAdd)
        PutDifferences(streams.bytes[DiffStream], streams.pendingBase, streams.pendingTarget,
                       streams.targetDone - streams.pendingLength, streams.pendingLength,
                       streams.word);
    std::vector<uint8_t> &control = streams.bytes[ControlStream];
    control.push_back(streams.pendingKind);
    PutVarint(control, streams.pendingLength - 1);
    if (streams.pendingKind != CommandNew) {
        PutVarint(control, PatchZigzag(static_cast<int64_t>(streams.pendingStart) -
                                       static_cast<int64_t>(streams.basePos)));
        streams.basePos = streams.pendingStart + streams.pendingLength;
    }
    streams.commands++;
    streams.pendingLength = 0;
}

// Lengthens the command held back when it continues it; otherwise writes it and holds this.
static void Hold(PatchStreams &streams, uint8_t kind, uint64_t baseOffset, uint64_t length,
                 const uint8_t *base, const uint8_t *target)
{
    if (streams.pendingLength != 0 && kind == streams.pendingKind &&
        (kind == CommandNew || baseOffset == streams.pendingStart + streams.pendingLength)) {
        streams.pendingLength += length;
        streams.targetDone += length;
        return;
    }
    WritePending(streams);
    streams.targetDone += length;
    streams.pendingKind = kind;
    streams.pendingStart = baseOffset;
    streams.pendingLength = length;
    streams.pendingBase = base != nullptr ? base + baseOffset : nullptr;
    streams.pendingTarget = target;
}

void AddCopy(PatchStreams &streams, uint64_t baseOffset, uint64_t length)
{
    if (length != 0)
        Hold(streams, CommandCopy, baseOffset, length, nullptr, nullptr);
}

void AddDifference(PatchStreams &streams, const uint8_t *base, uint64_t baseOffset,
                   const uint8_t *target, uint64_t length)
{
    if (length != 0)
        Hold(streams, CommandAdd, baseOffset, length, base, target);
}

void AddNew(PatchStreams &streams, const uint8_t *target, uint64_t length)
{
    if (length == 0)
        return;
    std::vector<uint8_t> &literal = streams.bytes[LiteralStream];
    literal.insert(literal.end(), target, target + length);
    Hold(streams, CommandNew, 0, length, nullptr, nullptr);
}

uint64_t AgreeingRun(const uint8_t *a, const uint8_t *b, uint64_t limit)
{
    uint64_t i = 0;
    while (i + 8 <= limit) {
        uint64_t x, y;
        memcpy(&x, a + i, 8);
        memcpy(&y, b + i, 8);
        if (x != y)
            return i + static_cast<uint64_t>(__builtin_ctzll(x ^ y) / 8);
        i += 8;
    }
    while (i < limit && a[i] == b[i])
        ++i;
    return i;
}

void AddAligned(PatchStreams &streams, const uint8_t *base, uint64_t baseOffset,
                const uint8_t *target, uint64_t length, uint32_t shortestCopy)
{
    const uint8_t *from = base + baseOffset;
    uint64_t added = 0, at = 0;
    while (at < length) {
        uint64_t run = AgreeingRun(target + at, from + at, length - at);
        if (run >= shortestCopy) {
            AddDifference(streams, base, baseOffset + added, target + added, at - added);
            AddCopy(streams, baseOffset + at, run);
            added = at + run;
        }
        at += run + 1;
    }
    AddDifference(streams, base, baseOffset + added, target + added, length - added);
}

void FinishPatch(PatchStreams &streams)
{
    WritePending(streams);
}

namespace {

void *Allocate(void *, size_t size)
{
    return malloc(size);
}

void Release(void *, void *address)
{
    free(address);
}

ISzAlloc Allocator = {Allocate, Release};

struct MemoryIn {
    ISeqInStream stream;
    const uint8_t *bytes;
    size_t size, at;
};

SRes ReadMemory(void *self, void *to, size_t *size)
{
    MemoryIn *in = static_cast<MemoryIn *>(self);
    size_t part = in->size - in->at < *size ? in->size - in->at : *size;
    memcpy(to, in->bytes + in->at, part);
    in->at += part;
    *size = part;
    return SZ_OK;
}

struct VectorOut {
    ISeqOutStream stream;
    std::vector<uint8_t> *bytes;
};

size_t WriteVector(void *self, const void *from, size_t size)
{
    VectorOut *out = static_cast<VectorOut *>(self);
    const uint8_t *bytes = static_cast<const uint8_t *>(from);
    out->bytes->insert(out->bytes->end(), bytes, bytes + size);
    return size;
}

} // namespace

static bool Compress(const uint8_t *bytes, size_t size, const CLzmaEncProps &properties,
                     PackedStream &packed)
{
    CLzmaEncHandle encoder = LzmaEnc_Create(&Allocator);
    if (encoder == nullptr)
        return false;
    SizeT propertiesSize = sizeof packed.properties;
    MemoryIn in = {{ReadMemory}, bytes, size, 0};
    VectorOut out = {{WriteVector}, &packed.bytes};
    packed.bytes.reserve(size / 4 + 64);
    SRes result = LzmaEnc_SetProps(encoder, &properties);
    if (result == SZ_OK)
        result = LzmaEnc_WriteProperties(encoder, packed.properties, &propertiesSize);
    if (result == SZ_OK)
        result = LzmaEnc_Encode(encoder, &out.stream, &in.stream, nullptr, &Allocator, &Allocator);
    LzmaEnc_Destroy(encoder, &Allocator, &Allocator);
    return result == SZ_OK;
}

bool PackStream(const std::vector<uint8_t> &decoded, const StreamSettings &settings,
                PackedStream &packed)
{
    memset(packed.properties, 0, sizeof packed.properties);
    packed.bytes.clear();
    if (decoded.empty())
        return true;
    CLzmaEncProps properties;
    LzmaEncProps_Init(&properties);
    properties.level = 9;
    // A shorter stream asks for no more than it holds (LZMA writes 4 KiB at least).
    properties.dictSize = decoded.size() < settings.dictionary ? static_cast<UInt32>(decoded.size())
                                                               : settings.dictionary;
    properties.lc = settings.lc;
    properties.lp = settings.lp;
    properties.pb = settings.pb;
    properties.fb = settings.fastBytes;
    properties.numThreads = 1;
    properties.writeEndMark = 0;
    return Compress(decoded.data(), decoded.size(), properties, packed);
}

uint64_t QuickPackedSize(const std::vector<uint8_t> &decoded, const StreamSettings &settings)
{
    enum : size_t { Slice = 1u << 20, Slices = 32 };
    // Slices spread over a long stream stand for it.
    std::vector<uint8_t> sample;
    const std::vector<uint8_t> *bytes = &decoded;
    if (decoded.size() > Slice * Slices) {
        for (size_t i = 0; i < Slices; ++i) {
            size_t at = (decoded.size() - Slice) / (Slices - 1) * i;
            sample.insert(sample.end(), decoded.begin() + static_cast<ptrdiff_t>(at),
                          decoded.begin() + static_cast<ptrdiff_t>(at + Slice));
        }
        bytes = &sample;
    }
    if (bytes->empty())
        return 0;
    CLzmaEncProps properties;
    LzmaEncProps_Init(&properties);
    properties.level = 1;
    properties.dictSize = 1u << 20;
    properties.lc = settings.lc;
    properties.lp = settings.lp;
    properties.pb = settings.pb;
    properties.fb = 64;
    properties.numThreads = 1;
    PackedStream packed;
    if (!Compress(bytes->data(), bytes->size(), properties, packed))
        return UINT64_MAX;
    return packed.bytes.size();
}

void LayOutPatch(const PatchStreams &streams, const PackedStream *packed,
                 std::vector<uint8_t> &patch)
{
    patch.assign(PatchHeaderSize, 0);
    memcpy(patch.data(), PatchMagic, sizeof PatchMagic);
    PatchPut32(&patch[PatchVersionOffset], PatchVersion);
    patch[PatchWordOffset] = streams.word;
    PatchPut64(&patch[PatchBaseSizeOffset], streams.baseSize);
    PatchPut64(&patch[PatchTargetSizeOffset], streams.targetSize);
    for (unsigned i = 0; i < PatchStreamCount; ++i) {
        uint8_t *descriptor = &patch[PatchStreamsOffset + i * PatchDescriptorSize];
        memcpy(descriptor, packed[i].properties, PatchPropertiesSize);
        PatchPut64(descriptor + PatchPackedSizeOffset, packed[i].bytes.size());
        PatchPut64(descriptor + PatchDecodedSizeOffset, streams.bytes[i].size());
    }
    for (unsigned i = 0; i < PatchStreamCount; ++i)
        patch.insert(patch.end(), packed[i].bytes.begin(), packed[i].bytes.end());
}

bool PackPatch(const PatchStreams &streams, const PatchSettings &settings,
               std::vector<uint8_t> &patch)
{
    PackedStream packed[PatchStreamCount];
    for (unsigned i = 0; i < PatchStreamCount; ++i) {
        if (!PackStream(streams.bytes[i], settings.streams[i], packed[i]))
            return false;
    }
    LayOutPatch(streams, packed, patch);
    return true;
}

bool BlockwisePatch(const uint8_t *base, uint64_t baseSize, const uint8_t *target,
                    uint64_t targetSize, std::vector<uint8_t> &patch)
{
    enum : uint64_t { Block = 4096 };
    PatchStreams streams;
    StartPatch(streams, baseSize, targetSize, 1);
    for (uint64_t at = 0; at < targetSize; at += Block) {
        uint64_t size = targetSize - at < Block ? targetSize - at : Block;
        uint64_t overlap = at < baseSize ? baseSize - at : 0;
        if (overlap > size)
            overlap = size;
        uint64_t agreeing = 0;
        for (uint64_t i = 0; i < overlap; ++i)
            agreeing += base[at + i] == target[at + i];
        if (agreeing * 2 > size)
            AddAligned(streams, base, at, target + at, overlap, DefaultPatchSettings.shortestCopy);
        else
            overlap = 0;
        AddNew(streams, target + at + overlap, size - overlap);
    }
    FinishPatch(streams);
    return PackPatch(streams, DefaultPatchSettings, patch);
}
