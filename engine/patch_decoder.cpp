// The decoder of docs/patch-format.md. Memory is one block of buffers and the three streams'
// windows, whatever the files' sizes; every length the patch gives is checked before it is
// used, so that a damaged patch ends in PatchMalformed (or in wrong bytes, which the caller's
// digest finds), never in a read or write out of bounds.
#include "patch_decoder.h"

#include "patch_format.h"

#include <stdlib.h>
#include <string.h>

#include <LzmaDec.h>

// Inside, PatchRebuilt also means "so far so good": each step returns an outcome, and the
// first that is not PatchRebuilt ends the rebuild.
namespace {

enum : uint32_t {
    PackedBlock = 16u << 10, // read from the patch at a time, per stream
    BaseBlock = 128u << 10,  // the base is read in blocks of this, or straight into the output
    DecodeStep = 64u << 10,  // decoded by one call of LZMA, so that callbacks come often
    // A run of tiny commands is handed over before the output block is full, so that the
    // caller hears from the decoder often whatever the patch holds.
    CommandsPerPiece = 8192,
};

void *LzmaAllocate(void *, size_t size)
{
    return malloc(size);
}

void LzmaRelease(void *, void *address)
{
    free(address);
}

ISzAlloc LzmaAllocator = {LzmaAllocate, LzmaRelease};

// One of the patch's LZMA streams. Its dictionary is the ring it decodes into; the decoded
// bytes from readPos up to the decoder's dicPos wait for the commands that use them.
struct PatchStream {
    CLzmaDec lzma;
    uint32_t window;
    uint32_t readPos;
    uint64_t packedNext; // where the next packed byte is in the patch
    uint64_t packedLeft;
    uint64_t decodedLeft; // still to be decoded
    uint32_t inputPos, inputEnd;
    uint8_t input[PackedBlock];
};

struct Rebuild {
    const PatchIo *io;
    uint64_t baseSize;
    uint64_t wordMask; // the diff word's size less 1
    PatchStream streams[PatchStreamCount];
    uint32_t outputFill;
    uint32_t commandsSinceWrite;
    uint64_t cacheStart;
    uint32_t cacheFill;
    uint8_t output[PatchTargetPieceLimit];
    uint8_t baseCache[BaseBlock];
};

// A stream's descriptor as the header gives it, checked on its own.
struct StreamShape {
    CLzmaProps properties;
    uint64_t packed, decoded;
    uint32_t window; // 0 for an empty stream
};

bool ReadShape(const uint8_t *descriptor, uint64_t targetSize, StreamShape &shape)
{
    shape.packed = PatchGet64(descriptor + PatchPackedSizeOffset);
    shape.decoded = PatchGet64(descriptor + PatchDecodedSizeOffset);
    shape.window = 0;
    if (descriptor[5] != 0 || descriptor[6] != 0 || descriptor[7] != 0)
        return false;
    if (shape.decoded == 0) {
        for (uint32_t i = 0; i < PatchPropertiesSize; ++i) {
            if (descriptor[i] != 0)
                return false;
        }
        return shape.packed == 0;
    }
    // Every byte of a stream serves at least one target byte, and a command takes at most
    // PatchCommandMaxBytes; so a stream's decoded size is bounded by the target's.
    if (targetSize > UINT64_MAX / PatchCommandMaxBytes ||
        shape.decoded > targetSize * PatchCommandMaxBytes)
        return false;
    if (LzmaProps_Decode(&shape.properties, descriptor, PatchPropertiesSize) != SZ_OK)
        return false;
    if (shape.properties.lc + shape.properties.lp > PatchLiteralBitsLimit)
        return false;
    // A range coder starts with 5 bytes, whatever follows.
    if (shape.packed < 5)
        return false;
    uint64_t window = shape.properties.dicSize;
    if (window > shape.decoded)
        window = shape.decoded;
    if (window > PatchWindowLimit)
        return false;
    shape.window = static_cast<uint32_t>(window);
    return true;
}

bool ValidWord(uint8_t word)
{
    return word == 1 || word == 2 || word == 4 || word == 8;
}

// The header against the sizes the caller knows; the streams' shapes out.
bool ReadHeader(const uint8_t *header, uint64_t patchSize, uint64_t baseSize, uint64_t targetSize,
                StreamShape *shapes)
{
    if (memcmp(header, PatchMagic, sizeof PatchMagic) != 0 ||
        PatchGet32(header + PatchVersionOffset) != PatchVersion ||
        !ValidWord(header[PatchWordOffset]) || header[PatchWordOffset + 1] != 0 ||
        header[PatchWordOffset + 2] != 0 || header[PatchWordOffset + 3] != 0 ||
        PatchGet64(header + PatchBaseSizeOffset) != baseSize ||
        PatchGet64(header + PatchTargetSizeOffset) != targetSize)
        return false;
    uint64_t end = PatchHeaderSize, windows = 0, dataBytes = 0;
    for (unsigned i = 0; i < PatchStreamCount; ++i) {
        StreamShape &shape = shapes[i];
        if (!ReadShape(header + PatchStreamsOffset + i * PatchDescriptorSize, targetSize, shape))
            return false;
        if (shape.packed > patchSize - end)
            return false;
        end += shape.packed;
        windows += shape.window;
        if (i != ControlStream)
            dataBytes += shape.decoded;
    }
    // Each diff or literal byte is one byte of the target.
    return end == patchSize && windows <= PatchWindowLimit && dataBytes <= targetSize;
}

bool OpenStream(PatchStream &stream, const StreamShape &shape, const uint8_t *descriptor,
                uint64_t packedStart)
{
    LzmaDec_Construct(&stream.lzma);
    stream.lzma.dicPos = 0;
    stream.window = shape.window;
    stream.readPos = 0;
    stream.packedNext = packedStart;
    stream.packedLeft = shape.packed;
    stream.decodedLeft = shape.decoded;
    stream.inputPos = stream.inputEnd = 0;
    if (shape.decoded == 0)
        return true;
    if (LzmaDec_AllocateProbs(&stream.lzma, descriptor, PatchPropertiesSize, &LzmaAllocator) !=
        SZ_OK)
        return false;
    stream.lzma.dic = static_cast<Byte *>(malloc(shape.window));
    if (stream.lzma.dic == nullptr)
        return false;
    // The ring is as large as any distance LZMA lets through: it refuses one that reaches
    // past what it decoded so far, and, once that is more than the dictionary size, one that
    // reaches past the dictionary.
    stream.lzma.dicBufSize = shape.window;
    LzmaDec_Init(&stream.lzma);
    return true;
}

void CloseStream(PatchStream &stream)
{
    free(stream.lzma.dic);
    stream.lzma.dic = nullptr;
    LzmaDec_FreeProbs(&stream.lzma, &LzmaAllocator);
}

// Decodes the stream's next bytes once the waiting ones are used up.
PatchOutcome DecodeMore(Rebuild &rebuild, PatchStream &stream)
{
    // More than the header said the stream holds is asked of it.
    if (stream.decodedLeft == 0)
        return PatchMalformed;
    CLzmaDec &lzma = stream.lzma;
    if (lzma.dicPos == stream.window)
        lzma.dicPos = stream.readPos = 0;
    SizeT step = stream.window - lzma.dicPos;
    if (step > DecodeStep)
        step = DecodeStep;
    if (step > stream.decodedLeft)
        step = static_cast<SizeT>(stream.decodedLeft);
    const SizeT limit = lzma.dicPos + step;
    for (;;) {
        if (stream.inputPos == stream.inputEnd && stream.packedLeft > 0) {
            uint32_t size = stream.packedLeft < PackedBlock
                                ? static_cast<uint32_t>(stream.packedLeft)
                                : static_cast<uint32_t>(PackedBlock);
            if (!rebuild.io->readPatch(rebuild.io->context, stream.packedNext, stream.input, size))
                return PatchReadFailed;
            stream.packedNext += size;
            stream.packedLeft -= size;
            stream.inputPos = 0;
            stream.inputEnd = size;
        }
        const SizeT before = lzma.dicPos;
        SizeT taken = stream.inputEnd - stream.inputPos;
        ELzmaStatus status;
        if (LzmaDec_DecodeToDic(&lzma, limit, stream.input + stream.inputPos, &taken,
                                LZMA_FINISH_ANY, &status) != SZ_OK)
            return PatchMalformed;
        stream.inputPos += static_cast<uint32_t>(taken);
        if (lzma.dicPos != before) {
            stream.decodedLeft -= lzma.dicPos - before;
            return PatchRebuilt;
        }
        // Our encoder writes no end mark; a stream that ends early, or takes nothing more
        // while it gives nothing, contradicts its header.
        if (status != LZMA_STATUS_NEEDS_MORE_INPUT || stream.packedLeft == 0)
            return PatchMalformed;
    }
}

// Up to wanted of the stream's next decoded bytes, where they lie in its ring.
PatchOutcome Take(Rebuild &rebuild, PatchStream &stream, uint32_t wanted, const uint8_t *&bytes,
                  uint32_t &got)
{
    if (stream.readPos == stream.lzma.dicPos) {
        PatchOutcome outcome = DecodeMore(rebuild, stream);
        if (outcome != PatchRebuilt)
            return outcome;
    }
    uint32_t waiting = static_cast<uint32_t>(stream.lzma.dicPos) - stream.readPos;
    got = waiting < wanted ? waiting : wanted;
    bytes = stream.lzma.dic + stream.readPos;
    stream.readPos += got;
    return PatchRebuilt;
}

PatchOutcome ReadVarint(Rebuild &rebuild, uint64_t &value)
{
    value = 0;
    for (uint32_t i = 0; i < PatchVarintMaxBytes; ++i) {
        const uint8_t *byte;
        uint32_t got;
        PatchOutcome outcome = Take(rebuild, rebuild.streams[ControlStream], 1, byte, got);
        if (outcome != PatchRebuilt)
            return outcome;
        // The tenth byte holds the 64th bit only.
        if (i == PatchVarintMaxBytes - 1 && *byte > 1)
            return PatchMalformed;
        value |= static_cast<uint64_t>(*byte & 0x7F) << (7 * i);
        if ((*byte & 0x80) == 0)
            return PatchRebuilt;
    }
    return PatchMalformed;
}

PatchOutcome WriteOutput(Rebuild &rebuild)
{
    rebuild.commandsSinceWrite = 0;
    if (rebuild.outputFill == 0)
        return PatchRebuilt;
    if (!rebuild.io->writeTarget(rebuild.io->context, rebuild.output, rebuild.outputFill))
        return PatchWriteFailed;
    rebuild.outputFill = 0;
    return PatchRebuilt;
}

// size base bytes from offset into the output; the range is checked. A block of the base
// stays at hand for the small commands around it; a large piece goes straight to the output.
PatchOutcome ReadBase(Rebuild &rebuild, uint64_t offset, uint32_t size)
{
    uint8_t *to = rebuild.output + rebuild.outputFill;
    while (size > 0) {
        if (offset >= rebuild.cacheStart && offset - rebuild.cacheStart < rebuild.cacheFill) {
            uint32_t at = static_cast<uint32_t>(offset - rebuild.cacheStart);
            uint32_t part = rebuild.cacheFill - at < size ? rebuild.cacheFill - at : size;
            memcpy(to, rebuild.baseCache + at, part);
            to += part;
            offset += part;
            size -= part;
        } else if (size >= BaseBlock) {
            if (!rebuild.io->readBase(rebuild.io->context, offset, to, size))
                return PatchReadFailed;
            size = 0;
        } else {
            uint64_t left = rebuild.baseSize - offset;
            rebuild.cacheFill = left < BaseBlock ? static_cast<uint32_t>(left) : BaseBlock;
            rebuild.cacheStart = offset;
            if (!rebuild.io->readBase(rebuild.io->context, offset, rebuild.baseCache,
                                      rebuild.cacheFill)) {
                rebuild.cacheFill = 0;
                return PatchReadFailed;
            }
        }
    }
    return PatchRebuilt;
}

// One command's length bytes of the target from targetPos on, piece by piece as the output
// block fills.
PatchOutcome Run(Rebuild &rebuild, uint8_t kind, uint64_t baseOffset, uint64_t targetPos,
                 uint64_t length)
{
    unsigned carry = 0;
    while (length > 0) {
        uint32_t room = PatchTargetPieceLimit - rebuild.outputFill;
        uint32_t size = length < room ? static_cast<uint32_t>(length) : room;
        uint8_t *to = rebuild.output + rebuild.outputFill;
        PatchOutcome outcome = PatchRebuilt;
        if (kind != CommandNew)
            outcome = ReadBase(rebuild, baseOffset, size);
        PatchStream &stream = rebuild.streams[kind == CommandAdd ? DiffStream : LiteralStream];
        for (uint32_t done = 0; kind != CommandCopy && done < size && outcome == PatchRebuilt;) {
            const uint8_t *bytes;
            uint32_t got;
            outcome = Take(rebuild, stream, size - done, bytes, got);
            if (outcome != PatchRebuilt)
                break;
            if (kind == CommandAdd) {
                uint64_t pos = targetPos + done;
                for (uint32_t i = 0; i < got; ++i, ++pos) {
                    if ((pos & rebuild.wordMask) == 0)
                        carry = 0;
                    unsigned sum = to[done + i] + bytes[i] + carry;
                    to[done + i] = static_cast<uint8_t>(sum);
                    carry = sum >> 8;
                }
            } else {
                memcpy(to + done, bytes, got);
            }
            done += got;
        }
        if (outcome != PatchRebuilt)
            return outcome;
        rebuild.outputFill += size;
        baseOffset += size;
        targetPos += size;
        length -= size;
        if (rebuild.outputFill == PatchTargetPieceLimit) {
            outcome = WriteOutput(rebuild);
            if (outcome != PatchRebuilt)
                return outcome;
        }
    }
    return PatchRebuilt;
}

// Every command, each checked against the target's bytes still to come and the base.
PatchOutcome RunCommands(Rebuild &rebuild, uint64_t targetSize)
{
    uint64_t written = 0, basePos = 0;
    while (written < targetSize) {
        const uint8_t *kindByte;
        uint32_t got;
        uint64_t lengthLess1, where = 0;
        PatchOutcome outcome = Take(rebuild, rebuild.streams[ControlStream], 1, kindByte, got);
        if (outcome != PatchRebuilt)
            return outcome;
        // Taken before the next bytes are decoded, which may go round the ring over it.
        const uint8_t kind = *kindByte;
        outcome = ReadVarint(rebuild, lengthLess1);
        if (outcome == PatchRebuilt && kind != CommandNew)
            outcome = ReadVarint(rebuild, where);
        if (outcome != PatchRebuilt)
            return outcome;
        if (kind > CommandNew || lengthLess1 >= targetSize - written)
            return PatchMalformed;
        const uint64_t length = lengthLess1 + 1;
        uint64_t start = 0;
        if (kind != CommandNew) {
            // Zigzag: odd values go back from the previous command's end.
            uint64_t distance = where >> 1;
            if ((where & 1) != 0) {
                if (distance >= basePos)
                    return PatchMalformed;
                start = basePos - distance - 1;
            } else {
                if (distance > rebuild.baseSize - basePos)
                    return PatchMalformed;
                start = basePos + distance;
            }
            if (length > rebuild.baseSize - start)
                return PatchMalformed;
            basePos = start + length;
        }
        outcome = Run(rebuild, kind, start, written, length);
        if (outcome == PatchRebuilt && ++rebuild.commandsSinceWrite == CommandsPerPiece)
            outcome = WriteOutput(rebuild);
        if (outcome != PatchRebuilt)
            return outcome;
        written += length;
    }
    PatchOutcome outcome = WriteOutput(rebuild);
    if (outcome != PatchRebuilt)
        return outcome;
    // The commands used every byte of every stream.
    for (const PatchStream &stream : rebuild.streams) {
        if (stream.decodedLeft != 0 || stream.readPos != stream.lzma.dicPos)
            return PatchMalformed;
    }
    return PatchRebuilt;
}

} // namespace

PatchOutcome RebuildFromPatch(const PatchIo &io, uint64_t patchSize, uint64_t baseSize,
                              uint64_t targetSize)
{
    uint8_t header[PatchHeaderSize];
    StreamShape shapes[PatchStreamCount];
    if (patchSize < PatchHeaderSize)
        return PatchMalformed;
    if (!io.readPatch(io.context, 0, header, PatchHeaderSize))
        return PatchReadFailed;
    if (!ReadHeader(header, patchSize, baseSize, targetSize, shapes))
        return PatchMalformed;

    Rebuild *rebuild = static_cast<Rebuild *>(malloc(sizeof(Rebuild)));
    if (rebuild == nullptr)
        return PatchNoMemory;
    rebuild->io = &io;
    rebuild->baseSize = baseSize;
    rebuild->wordMask = header[PatchWordOffset] - 1u;
    rebuild->outputFill = 0;
    rebuild->commandsSinceWrite = 0;
    rebuild->cacheStart = 0;
    rebuild->cacheFill = 0;
    PatchOutcome outcome = PatchRebuilt;
    uint64_t packedStart = PatchHeaderSize;
    for (unsigned i = 0; i < PatchStreamCount; ++i) {
        // Every stream is opened, so that each can be closed whatever failed.
        const uint8_t *descriptor = header + PatchStreamsOffset + i * PatchDescriptorSize;
        if (!OpenStream(rebuild->streams[i], shapes[i], descriptor, packedStart))
            outcome = PatchNoMemory;
        packedStart += shapes[i].packed;
    }
    if (outcome == PatchRebuilt)
        outcome = RunCommands(*rebuild, targetSize);
    for (PatchStream &stream : rebuild->streams)
        CloseStream(stream);
    free(rebuild);
    return outcome;
}
