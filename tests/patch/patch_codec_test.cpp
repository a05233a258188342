// The packer's encoder and the exe's own decoder, native: round trips over every boundary of
// the decoder's buffers, runs and repeats, and the decoder against wrong bases and damaged or
// lying patches. The decoder is built here with the address and undefined-behaviour
// sanitizers, and its callbacks refuse any range outside the patch and the base: a read or
// write out of bounds fails the case instead of passing unseen.
#include "../../engine/patch_decoder.h"
#include "../../engine/patch_format.h"
#include "../../tools/patch_maker.h"
#include "../../tools/patch_writer.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <string.h>
#include <vector>

namespace {

typedef std::vector<uint8_t> Bytes;

// The same bytes on every run: xorshift.
struct Noise {
    uint64_t state;
    explicit Noise(uint64_t seed) : state(seed * 2654435761u + 1) {}
    uint8_t Next()
    {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return static_cast<uint8_t>(state >> 24);
    }
    Bytes Fill(size_t size)
    {
        Bytes bytes(size);
        for (uint8_t &byte : bytes)
            byte = Next();
        return bytes;
    }
};

// What the decoder did with its callbacks.
struct Rebuilt {
    PatchOutcome outcome;
    unsigned patchReads;
    Bytes target;
    unsigned pieces;
    uint32_t largestPiece;
    std::vector<uint32_t> baseReads;
    bool outside; // asked for bytes outside the patch or the base
};

struct Files {
    const Bytes *patch, *base;
    Rebuilt *rebuilt;
    uint64_t baseReadable; // readBase fails past this many bytes
    uint64_t writable;     // writeTarget fails once this many bytes are written
    bool patchReadable;
};

bool ReadRange(const Bytes &bytes, uint64_t offset, uint8_t *to, uint32_t size, bool &outside)
{
    if (offset > bytes.size() || size > bytes.size() - offset) {
        outside = true;
        return false;
    }
    memcpy(to, bytes.data() + offset, size);
    return true;
}

bool ReadPatch(void *context, uint64_t offset, uint8_t *bytes, uint32_t size)
{
    Files &files = *static_cast<Files *>(context);
    files.rebuilt->patchReads++;
    return files.patchReadable &&
           ReadRange(*files.patch, offset, bytes, size, files.rebuilt->outside);
}

bool ReadBase(void *context, uint64_t offset, uint8_t *bytes, uint32_t size)
{
    Files &files = *static_cast<Files *>(context);
    files.rebuilt->baseReads.push_back(size);
    if (offset + size > files.baseReadable)
        return false;
    return ReadRange(*files.base, offset, bytes, size, files.rebuilt->outside);
}

bool WriteTarget(void *context, const uint8_t *bytes, uint32_t size)
{
    Files &files = *static_cast<Files *>(context);
    Rebuilt &rebuilt = *files.rebuilt;
    if (rebuilt.target.size() + size > files.writable)
        return false;
    rebuilt.target.insert(rebuilt.target.end(), bytes, bytes + size);
    rebuilt.pieces++;
    if (size > rebuilt.largestPiece)
        rebuilt.largestPiece = size;
    return true;
}

struct Faults {
    uint64_t baseReadable = UINT64_MAX;
    uint64_t writable = UINT64_MAX;
    bool patchReadable = true;
};

Rebuilt Rebuild(const Bytes &patch, const Bytes &base, uint64_t targetSize,
                const Faults &faults = Faults())
{
    Rebuilt rebuilt = {PatchRebuilt, 0, {}, 0, 0, {}, false};
    Files files = {
        &patch, &base, &rebuilt, faults.baseReadable, faults.writable, faults.patchReadable};
    PatchIo io = {&files, ReadPatch, ReadBase, WriteTarget};
    rebuilt.outcome = RebuildFromPatch(io, patch.size(), base.size(), targetSize);
    return rebuilt;
}

Bytes Make(const Bytes &base, const Bytes &target,
           const PatchSettings &settings = DefaultPatchSettings, PatchStreams *made = nullptr)
{
    Bytes patch;
    PatchStreams streams;
    PatchTimes times;
    EXPECT_EQ(PatchMadeOk, MakePatch(base.data(), base.size(), target.data(), target.size(),
                                     DefaultMatchSettings, settings, patch, streams, times));
    if (made != nullptr)
        *made = streams;
    return patch;
}

testing::AssertionResult SameBytes(const Bytes &actual, const Bytes &expected)
{
    if (actual == expected)
        return testing::AssertionSuccess();
    size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at])
        ++at;
    return testing::AssertionFailure() << actual.size() << " bytes where " << expected.size()
                                       << " were expected, first difference at " << at;
}

// The patch rebuilds the target, in pieces the caller can take.
testing::AssertionResult RoundTrips(const Bytes &base, const Bytes &target,
                                    const PatchSettings &settings = DefaultPatchSettings)
{
    Bytes patch = Make(base, target, settings);
    Rebuilt rebuilt = Rebuild(patch, base, target.size());
    if (rebuilt.outcome != PatchRebuilt)
        return testing::AssertionFailure() << "outcome " << rebuilt.outcome;
    if (rebuilt.outside)
        return testing::AssertionFailure() << "a read outside the patch or the base";
    if (rebuilt.largestPiece > PatchTargetPieceLimit)
        return testing::AssertionFailure() << "a piece of " << rebuilt.largestPiece << " bytes";
    return SameBytes(rebuilt.target, target);
}

// Settings whose windows are the smallest LZMA has, so that each stream goes round its ring.
PatchSettings SmallWindows()
{
    PatchSettings settings = DefaultPatchSettings;
    for (StreamSettings &stream : settings.streams)
        stream.dictionary = 4096;
    return settings;
}

// A hand-made patch: the commands as given, each stream packed as the encoder packs it.
Bytes Lay(const PatchStreams &streams, const PatchSettings &settings = DefaultPatchSettings)
{
    Bytes patch;
    EXPECT_TRUE(PackPatch(streams, settings, patch));
    return patch;
}

uint64_t PackedSize(const Bytes &patch, unsigned stream)
{
    return PatchGet64(
        &patch[PatchStreamsOffset + stream * PatchDescriptorSize + PatchPackedSizeOffset]);
}

TEST(PatchRoundTrip, EmptyAndEqualFiles)
{
    Noise noise(1);
    const Bytes empty, some = noise.Fill(1000);
    EXPECT_TRUE(RoundTrips(empty, empty));
    EXPECT_EQ(PatchHeaderSize, Make(empty, empty).size());
    EXPECT_TRUE(RoundTrips(empty, some));
    EXPECT_TRUE(RoundTrips(some, empty));

    // An unchanged file is one Copy: nothing decoded by LZMA but the command, and the base
    // read in blocks of 128 KiB.
    const Bytes file = noise.Fill(3u << 20);
    PatchStreams streams;
    Bytes patch = Make(file, file, DefaultPatchSettings, &streams);
    EXPECT_EQ(1u, streams.commands);
    EXPECT_TRUE(streams.bytes[DiffStream].empty());
    EXPECT_TRUE(streams.bytes[LiteralStream].empty());
    EXPECT_LT(patch.size(), 150u);
    Rebuilt rebuilt = Rebuild(patch, file, file.size());
    ASSERT_EQ(PatchRebuilt, rebuilt.outcome);
    EXPECT_TRUE(SameBytes(rebuilt.target, file));
    for (uint32_t read : rebuilt.baseReads)
        EXPECT_GE(read, 128u << 10);
    EXPECT_EQ(PatchTargetPieceLimit, rebuilt.largestPiece);
}

// The base is read in large blocks where the commands go through it in order, in small ones
// where they jump about (a program rebuilt by another compiler), never a large block for a
// few bytes.
TEST(PatchDecoder, BaseReadInLargeBlocksWhereItCan)
{
    Noise noise(8);
    const Bytes base = noise.Fill(8000000);
    Bytes target = noise.Fill(8000000);
    PatchStreams inOrder;
    StartPatch(inOrder, base.size(), target.size(), 1);
    for (uint64_t at = 0; at < target.size(); at += 2000) {
        AddDifference(inOrder, base.data(), at, target.data() + at, 1000);
        AddCopy(inOrder, at + 1000, 1000);
        memcpy(&target[at + 1000], &base[at + 1000], 1000);
    }
    FinishPatch(inOrder);
    Rebuilt rebuilt = Rebuild(Lay(inOrder), base, target.size());
    ASSERT_EQ(PatchRebuilt, rebuilt.outcome);
    EXPECT_TRUE(SameBytes(rebuilt.target, target));
    uint64_t read = 0;
    for (uint32_t size : rebuilt.baseReads)
        read += size;
    EXPECT_EQ(base.size(), read);
    EXPECT_LT(rebuilt.baseReads.size(), base.size() / (32u << 10) + 10);

    PatchStreams jumping;
    StartPatch(jumping, base.size(), 40 * 10000, 1);
    for (uint64_t at = 0; at < 40 * 10000; at += 40) {
        uint64_t from = (at * 2654435761u) % (base.size() - 40);
        AddDifference(jumping, base.data(), from, target.data() + at, 40);
    }
    FinishPatch(jumping);
    rebuilt = Rebuild(Lay(jumping), base, 40 * 10000);
    ASSERT_EQ(PatchRebuilt, rebuilt.outcome);
    EXPECT_TRUE(SameBytes(rebuilt.target, Bytes(target.begin(), target.begin() + 40 * 10000)));
    read = 0;
    for (uint32_t size : rebuilt.baseReads)
        read += size;
    EXPECT_LE(read, 10000u * (4u << 10));
}

// Each command kind over a length just under, at and just over each of the decoder's sizes:
// the smallest window, a block read from the patch, a step of LZMA, the base block, the
// output piece; with the default windows and with the smallest, which the streams go round.
TEST(PatchRoundTrip, LengthsAcrossEveryBoundary)
{
    const uint32_t boundaries[] = {4096, 16u << 10, 64u << 10, 128u << 10, 256u << 10};
    const PatchSettings settings[] = {DefaultPatchSettings, SmallWindows()};
    Noise noise(2);
    for (uint32_t boundary : boundaries) {
        for (uint32_t length = boundary - 1; length <= boundary + 1; ++length) {
            SCOPED_TRACE(length);
            Bytes base = noise.Fill(length + 100);
            // A Copy (a Copy and its neighbours below 4096 bytes, then Add).
            Bytes same(base.begin() + 50, base.begin() + 50 + length);
            // An Add all the way: numbers that moved, some with carries into their next byte.
            Bytes added(base.begin(), base.begin() + length);
            for (size_t at = 0; at + 4 <= added.size(); at += 37) {
                uint32_t value;
                memcpy(&value, &added[at], 4);
                value += 0x20;
                memcpy(&added[at], &value, 4);
            }
            // New all the way.
            Bytes fresh = noise.Fill(length);
            for (const PatchSettings &setting : settings) {
                EXPECT_TRUE(RoundTrips(base, same, setting));
                EXPECT_TRUE(RoundTrips(base, added, setting));
                EXPECT_TRUE(RoundTrips(Bytes(), fresh, setting));
            }
        }
    }
}

// An Add's carries stay in their word and their command, for every word size: built by hand,
// so that Adds start and end inside words and from every offset of the base, and the output
// piece ends inside a word (a run of commands hands the output over early, at no word's edge).
TEST(PatchRoundTrip, AddsCarryWithinTheirWords)
{
    Noise noise(3);
    const Bytes base = noise.Fill(600u << 10), target = noise.Fill(600u << 10);
    for (uint8_t word = 1; word <= PatchLargestWord; word *= 2) {
        SCOPED_TRACE(static_cast<int>(word));
        Bytes expected = target;
        PatchStreams streams;
        StartPatch(streams, base.size(), target.size(), word);
        uint64_t at = 0;
        for (unsigned i = 0; i < 9000; ++i) {
            uint64_t length = 1 + i % 7;
            AddDifference(streams, base.data(), (at * 5 + i) % (base.size() - 8),
                          target.data() + at, length);
            at += length;
        }
        AddDifference(streams, base.data(), at, target.data() + at, 300001);
        at += 300001;
        AddNew(streams, target.data() + at, 3);
        at += 3;
        AddCopy(streams, 17, 5000);
        memcpy(&expected[at], &base[17], 5000);
        at += 5000;
        AddDifference(streams, base.data(), at + 1, target.data() + at, target.size() - at - 1);
        AddNew(streams, target.data() + target.size() - 1, 1);
        FinishPatch(streams);
        ASSERT_EQ(target.size(), streams.targetDone);
        // With the smallest windows too, so that the commands' bytes go round theirs.
        for (const PatchSettings &settings : {DefaultPatchSettings, SmallWindows()}) {
            Rebuilt rebuilt = Rebuild(Lay(streams, settings), base, target.size());
            EXPECT_EQ(PatchRebuilt, rebuilt.outcome);
            EXPECT_TRUE(SameBytes(rebuilt.target, expected));
            EXPECT_GT(rebuilt.pieces, 3u);
        }
    }
}

// Stock bsdiff never finished 16 MiB of zeros with two changes of 3 bytes; nor may the
// matcher stall on runs or repeats (the case's time limit would end it): each patch is tiny.
TEST(PatchRoundTrip, RunsAndRepeatsMakeTinyPatches)
{
    const size_t size = 16u << 20;
    Bytes zeros(size, 0), changed(size, 0);
    memcpy(&changed[5u << 20], "abc", 3);
    memcpy(&changed[11u << 20], "xyz", 3);
    Bytes patch = Make(zeros, changed);
    EXPECT_LT(patch.size(), 250u);
    EXPECT_TRUE(SameBytes(Rebuild(patch, zeros, size).target, changed));

    // A short pattern repeated: a few bytes changed, one added, one taken away.
    const char pattern[] = "0123456";
    Bytes repeated(size), edited;
    for (size_t at = 0; at < size; ++at)
        repeated[at] = static_cast<uint8_t>(pattern[at % 7]);
    edited = repeated;
    edited[3u << 20] = 'X';
    edited[9u << 20] ^= 1;
    edited.insert(edited.begin() + (7u << 20), 'Y');
    edited.erase(edited.begin() + (13u << 20));
    patch = Make(repeated, edited);
    EXPECT_LT(patch.size(), 300u);
    EXPECT_TRUE(SameBytes(Rebuild(patch, repeated, edited.size()).target, edited));
}

// A program's next version: code moved, pointers shifted, a part rewritten.
struct Versions {
    Bytes first, second, third;
    Versions()
    {
        Noise noise(4);
        first = noise.Fill(400000);
        second = first;
        for (size_t at = 1000; at + 4 < second.size(); at += 61)
            second[at] = static_cast<uint8_t>(second[at] + 16);
        Bytes inserted = noise.Fill(3000);
        second.insert(second.begin() + 150000, inserted.begin(), inserted.end());
        second.erase(second.begin() + 300000, second.begin() + 310000);
        third = second;
        for (size_t at = 500; at + 4 < third.size(); at += 97)
            third[at] ^= 0x40;
        Bytes moved(third.begin() + 20000, third.begin() + 60000);
        third.insert(third.end(), moved.begin(), moved.end());
    }
};

TEST(PatchRoundTrip, TwoBasesToOneTarget)
{
    Versions versions;
    Bytes fromFirst = Make(versions.first, versions.third);
    Bytes fromSecond = Make(versions.second, versions.third);
    EXPECT_TRUE(SameBytes(Rebuild(fromFirst, versions.first, versions.third.size()).target,
                          versions.third));
    EXPECT_TRUE(SameBytes(Rebuild(fromSecond, versions.second, versions.third.size()).target,
                          versions.third));
    EXPECT_LT(fromSecond.size(), fromFirst.size());
    // Each patch refuses the other base, whose size differs, before writing anything.
    Rebuilt crossed = Rebuild(fromFirst, versions.second, versions.third.size());
    EXPECT_EQ(PatchMalformed, crossed.outcome);
    EXPECT_EQ(0u, crossed.pieces);
}

TEST(PatchEncoder, SamePatchEveryTimeWithWindowsNoLargerThanItsStreams)
{
    Versions versions;
    PatchStreams streams;
    Bytes patch = Make(versions.second, versions.third, DefaultPatchSettings, &streams);
    EXPECT_EQ(patch, Make(versions.second, versions.third));
    for (unsigned i = 0; i < PatchStreamCount; ++i) {
        SCOPED_TRACE(i);
        const uint8_t *descriptor = &patch[PatchStreamsOffset + i * PatchDescriptorSize];
        uint64_t decoded = PatchGet64(descriptor + PatchDecodedSizeOffset);
        ASSERT_EQ(streams.bytes[i].size(), decoded);
        if (decoded == 0)
            continue;
        // LZMA writes dictionaries of 2^n or 3 * 2^n bytes; the stream asks for the smallest
        // that holds it.
        uint32_t dictionary = PatchGet32(descriptor + 1);
        EXPECT_LT(dictionary, decoded < 4096 ? 8192 : decoded * 2);
    }
}

TEST(PatchDecoder, WrongOrShortBaseAndFailingCallbacks)
{
    Versions versions;
    const Bytes &base = versions.second, &target = versions.third;
    Bytes patch = Make(base, target);

    Bytes other = base;
    for (size_t at = 0; at < other.size(); at += 1000)
        other[at] ^= 0xFF;
    Rebuilt rebuilt = Rebuild(patch, other, target.size());
    EXPECT_FALSE(rebuilt.outside);
    EXPECT_TRUE(rebuilt.outcome == PatchRebuilt || rebuilt.outcome == PatchMalformed);
    EXPECT_NE(target, rebuilt.target);

    Bytes cut(base.begin(), base.end() - 1);
    rebuilt = Rebuild(patch, cut, target.size());
    EXPECT_EQ(PatchMalformed, rebuilt.outcome);
    EXPECT_EQ(0u, rebuilt.pieces);
    EXPECT_EQ(PatchMalformed, Rebuild(patch, base, target.size() + 1).outcome);

    Faults faults;
    faults.baseReadable = 100000;
    EXPECT_EQ(PatchReadFailed, Rebuild(patch, base, target.size(), faults).outcome);
    faults = Faults();
    faults.writable = 300000;
    EXPECT_EQ(PatchWriteFailed, Rebuild(patch, base, target.size(), faults).outcome);
    faults = Faults();
    faults.patchReadable = false;
    EXPECT_EQ(PatchReadFailed, Rebuild(patch, base, target.size(), faults).outcome);
}

// Every byte of a patch flipped in turn, and the patch cut short at every length: never a
// crash, a hang or a read outside; PatchMalformed, or bytes that the caller's digest refuses.
TEST(PatchDecoder, DamagedPatchesNeverCrash)
{
    Versions versions;
    const Bytes base(versions.second.begin(), versions.second.begin() + 60000);
    Bytes target(versions.third.begin(), versions.third.begin() + 60000);
    Noise noise(5);
    Bytes fresh = noise.Fill(500);
    target.insert(target.begin() + 30000, fresh.begin(), fresh.end());
    const Bytes patch = Make(base, target);
    for (unsigned i = 0; i < PatchStreamCount; ++i)
        ASSERT_GT(PackedSize(patch, i), 8u);

    // A flip that leaves the rebuilt bytes as they were can only be in what decoding may not
    // need: LZMA's properties (a dictionary larger than the stream; literal context bits that
    // are zero in every byte) or a stream's last bytes, which the range coder flushed and of
    // which a low bit may reach no decision.
    auto needless = [&](size_t at) {
        uint64_t end = PatchHeaderSize;
        for (unsigned i = 0; i < PatchStreamCount; ++i) {
            size_t properties = PatchStreamsOffset + i * PatchDescriptorSize;
            end += PackedSize(patch, i);
            if ((at >= properties && at < properties + PatchPropertiesSize) ||
                (at < end && at + 8 >= end))
                return true;
        }
        return false;
    };
    for (size_t at = 0; at < patch.size(); ++at) {
        for (uint8_t flip : {0x01, 0x80, 0xFF}) {
            Bytes damaged = patch;
            damaged[at] ^= flip;
            Rebuilt rebuilt = Rebuild(damaged, base, target.size());
            ASSERT_FALSE(rebuilt.outside) << "byte " << at;
            ASSERT_TRUE(rebuilt.outcome == PatchRebuilt || rebuilt.outcome == PatchMalformed)
                << "byte " << at;
            ASSERT_LE(rebuilt.target.size(), target.size());
            if (rebuilt.outcome == PatchRebuilt && rebuilt.target == target) {
                EXPECT_TRUE(needless(at)) << "byte " << at << " flipped by " << int(flip);
            }
        }
    }

    for (size_t size = 0; size < patch.size(); ++size) {
        Bytes cut(patch.begin(), patch.begin() + size);
        Rebuilt rebuilt = Rebuild(cut, base, target.size());
        ASSERT_EQ(PatchMalformed, rebuilt.outcome) << size;
        ASSERT_EQ(0u, rebuilt.pieces);
    }
}

// Hand-made patches whose lengths lie, each refused.
TEST(PatchDecoder, LyingLengthsAreRefused)
{
    Noise noise(6);
    const Bytes base = noise.Fill(10000), target = noise.Fill(10000);
    PatchStreams streams;
    StartPatch(streams, base.size(), target.size(), 4);
    AddCopy(streams, 100, 4000);
    AddDifference(streams, base.data(), 5000, target.data() + 4000, 3000);
    AddNew(streams, target.data() + 7000, 3000);
    FinishPatch(streams);
    const Bytes good = Lay(streams);
    ASSERT_EQ(PatchRebuilt, Rebuild(good, base, target.size()).outcome);

    auto refused = [&](const Bytes &patch) {
        Rebuilt rebuilt = Rebuild(patch, base, target.size());
        return !rebuilt.outside && rebuilt.outcome == PatchMalformed;
    };
    auto header = [&](unsigned offset, uint64_t value, unsigned size = 8) {
        Bytes patch = good;
        for (unsigned i = 0; i < size; ++i)
            patch[offset + i] = static_cast<uint8_t>(value >> (8 * i));
        return patch;
    };
    const unsigned diff = PatchStreamsOffset + DiffStream * PatchDescriptorSize;
    const unsigned literal = PatchStreamsOffset + LiteralStream * PatchDescriptorSize;
    // Sizes past the patch's end, or short of it.
    EXPECT_TRUE(refused(header(diff + PatchPackedSizeOffset, PackedSize(good, DiffStream) + 1)));
    EXPECT_TRUE(refused(header(diff + PatchPackedSizeOffset, UINT64_MAX)));
    Bytes longer = good;
    longer.push_back(0);
    EXPECT_TRUE(refused(longer));
    // A stream said to hold more than it does, or more than the target.
    EXPECT_TRUE(refused(header(literal + PatchDecodedSizeOffset, 3001)));
    EXPECT_TRUE(refused(header(literal + PatchDecodedSizeOffset, 2999)));
    EXPECT_TRUE(refused(header(literal + PatchDecodedSizeOffset, UINT64_MAX)));
    EXPECT_TRUE(refused(header(PatchStreamsOffset + PatchDecodedSizeOffset, 21 * 10000 + 1)));
    // Literal tables over lc + lp 4, a word of 3.
    PatchSettings fourBits = DefaultPatchSettings;
    fourBits.streams[DiffStream].lc = 3;
    fourBits.streams[DiffStream].lp = 1;
    const Bytes wide = Lay(streams, fourBits);
    EXPECT_EQ(PatchRebuilt, Rebuild(wide, base, target.size()).outcome);
    Bytes wider = wide;
    wider[diff] = (0 * 5 + 2) * 9 + 3;
    Rebuilt refusedAtOnce = Rebuild(wider, base, target.size());
    EXPECT_EQ(PatchMalformed, refusedAtOnce.outcome);
    EXPECT_EQ(1u, refusedAtOnce.patchReads);
    EXPECT_TRUE(refused(header(PatchWordOffset, 3, 1)));
    EXPECT_TRUE(refused(header(PatchWordOffset + 1, 1, 1)));

    // Commands past the target's end, past the base's, before its start; a kind of 3; a
    // varint too long.
    auto commands = [&](const Bytes &control, const Bytes &literalBytes) {
        PatchStreams made;
        StartPatch(made, base.size(), target.size(), 1);
        made.bytes[ControlStream] = control;
        made.bytes[LiteralStream] = literalBytes;
        return Lay(made);
    };
    const Bytes tenThousand = noise.Fill(10000);
    // New of 10000 bytes (length - 1 = 9999 = 0x8F 0x4E): rebuilt.
    EXPECT_EQ(PatchRebuilt,
              Rebuild(commands({2, 0x8F, 0x4E}, tenThousand), base, target.size()).outcome);
    EXPECT_TRUE(refused(commands({2, 0x90, 0x4E}, tenThousand))); // 10001
    EXPECT_TRUE(refused(commands({0, 0x8F, 0x4E, 2}, {})));       // Copy from 1
    EXPECT_TRUE(refused(commands({0, 0x0, 0x1}, {})));            // Copy from -1
    EXPECT_TRUE(refused(commands({3, 0x8F, 0x4E}, tenThousand))); // kind 3
    EXPECT_TRUE(refused(
        commands({0, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00, 0}, {})));
    EXPECT_TRUE(
        refused(commands({0, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x02, 0}, {})));
    // Bytes no command uses.
    EXPECT_TRUE(refused(commands({2, 0x8F, 0x4E, 0}, tenThousand)));
    Bytes moreLiteral = tenThousand;
    moreLiteral.push_back(1);
    EXPECT_TRUE(refused(commands({2, 0x8F, 0x4E}, moreLiteral)));
    // A Copy of the whole base, then 1 byte more than the target holds.
    EXPECT_TRUE(refused(commands({0, 0x8F, 0x4E, 0, 2, 0}, {7})));
}

// The three windows may take 16 MiB together and no more: a patch that asks for more is
// refused from its header, before anything else is read or allocated.
TEST(PatchDecoder, WindowsOverTheLimitAreRefusedFromTheHeader)
{
    Noise noise(7);
    const uint64_t targetSize = 16u << 20;
    const Bytes base = noise.Fill(1000);
    PatchStreams streams;
    StartPatch(streams, base.size(), targetSize, 1);
    Bytes fresh = noise.Fill(5000);
    AddNew(streams, fresh.data(), fresh.size());
    AddDifference(streams, base.data(), 0, fresh.data(), 1000);
    FinishPatch(streams);
    streams.bytes[ControlStream].assign(5000, 2);
    Bytes patch = Lay(streams);
    // The control stream's window: its dictionary and its decoded size made as large as the
    // others leave room for, then a byte larger. Both lie, so neither rebuilds.
    const uint64_t others = 5000 + 1000;
    uint8_t *control = &patch[PatchStreamsOffset];
    PatchPut32(control + 1, 16u << 20);
    PatchPut64(&patch[PatchTargetSizeOffset], targetSize);
    for (uint64_t window : {PatchWindowLimit - others, PatchWindowLimit - others + 1}) {
        PatchPut64(control + PatchDecodedSizeOffset, window);
        Rebuilt rebuilt = Rebuild(patch, base, targetSize);
        EXPECT_EQ(PatchMalformed, rebuilt.outcome);
        EXPECT_EQ(window > PatchWindowLimit - others ? 1u : 2u, std::min(rebuilt.patchReads, 2u));
    }
}

} // namespace
