#include "patch_matcher.h"

#include <divsufsort.h>
#include <string.h>

// Measured on successive versions of large programs (scripts/benchmark-patches).
const MatchSettings DefaultMatchSettings = {64, 16, 32};

namespace {

enum : uint64_t {
    // The bytes before and after a match whose agreement tells copies of it apart.
    SurroundingWindow = 128,
    // Matches as long as each other are compared from this length: a shorter one tied with
    // many others is mostly chance, whichever of them is taken. Longer than the longest, they
    // are rarely tied, and comparing them is dear.
    ShortestTied = 12,
    LongestTied = 4096,
    TiesSeen = 32,
    // Where no match is found, the search steps up to this many bytes at a time.
    LongestStep = 8,
};

uint32_t KeyAt(const uint8_t *bytes, uint64_t left)
{
    return left >= 2 ? static_cast<uint32_t>(bytes[0]) << 8 | bytes[1]
                     : static_cast<uint32_t>(bytes[0]) << 8;
}

// The longest match of the query among the base's suffixes: its length, and where in pos.
// The bounds' agreement with the query is kept, so that each probe compares only from the
// shorter of the two on (Manber and Myers).
uint64_t LongestMatch(const SuffixIndex &index, const uint8_t *query, uint64_t queryLength,
                      uint32_t &rank)
{
    if (index.baseSize == 0 || queryLength == 0)
        return 0;
    uint32_t key = KeyAt(query, queryLength);
    // One byte's suffixes span every second byte after it.
    uint32_t first = index.firstTwo[key];
    uint32_t end = index.firstTwo[key + (queryLength >= 2 ? 1 : 256)];
    if (first == end)
        return 0;
    const uint8_t *base = index.base;
    const uint64_t size = index.baseSize;
    auto agreement = [&](uint32_t at, uint64_t from) {
        uint64_t start = static_cast<uint64_t>(index.suffixes[at]);
        uint64_t limit = queryLength < size - start ? queryLength : size - start;
        return from >= limit ? limit
                             : from + AgreeingRun(query + from, base + start + from, limit - from);
    };
    uint32_t low = first, high = end - 1;
    uint64_t lowAgree = agreement(low, 0), highAgree = agreement(high, 0);
    while (high - low > 1) {
        uint32_t middle = low + (high - low) / 2;
        uint64_t known = lowAgree < highAgree ? lowAgree : highAgree;
        uint64_t agree = agreement(middle, known);
        uint64_t start = static_cast<uint64_t>(index.suffixes[middle]);
        if (agree == queryLength) {
            rank = middle;
            return agree;
        }
        if (start + agree == size || base[start + agree] < query[agree]) {
            low = middle;
            lowAgree = agree;
        } else {
            high = middle;
            highAgree = agree;
        }
    }
    rank = lowAgree >= highAgree ? low : high;
    return lowAgree >= highAgree ? lowAgree : highAgree;
}

// Walks the target once. An alignment is the base's offset from the target (base position
// minus target position); the stretch being built has the current one from stretchStart,
// and it is known to agree exactly up to anchoredEnd.
struct Finder {
    const SuffixIndex &index;
    const uint8_t *target;
    uint64_t targetSize;
    const MatchSettings &settings;
    std::vector<AlignedStretch> &stretches;
    int64_t offset;
    uint64_t stretchStart, anchoredEnd;

    bool InBase(uint64_t targetPos, int64_t alignment) const
    {
        int64_t at = static_cast<int64_t>(targetPos) + alignment;
        return at >= 0 && static_cast<uint64_t>(at) < index.baseSize;
    }

    bool Agrees(uint64_t targetPos, int64_t alignment) const
    {
        return InBase(targetPos, alignment) &&
               target[targetPos] == index.base[static_cast<int64_t>(targetPos) + alignment];
    }

    uint64_t ExactRun(uint64_t targetPos, int64_t alignment, uint64_t limit = UINT64_MAX) const
    {
        if (!InBase(targetPos, alignment))
            return 0;
        uint64_t basePos = static_cast<uint64_t>(static_cast<int64_t>(targetPos) + alignment);
        if (limit > targetSize - targetPos)
            limit = targetSize - targetPos;
        if (limit > index.baseSize - basePos)
            limit = index.baseSize - basePos;
        return AgreeingRun(target + targetPos, index.base + basePos, limit);
    }

    // How far the alignment reaches forward from pos, at most to end: the longest reach over
    // which the agreeing bytes outnumber the others the most.
    uint64_t ReachForward(uint64_t pos, uint64_t end, int64_t alignment) const
    {
        int64_t score = 0, bestScore = 0;
        uint64_t reach = 0;
        for (uint64_t at = pos; at < end && InBase(at, alignment); ++at) {
            score += Agrees(at, alignment) ? 1 : -1;
            if (score > bestScore) {
                bestScore = score;
                reach = at + 1 - pos;
            }
        }
        return reach;
    }

    uint64_t ReachBackward(uint64_t pos, uint64_t start, int64_t alignment) const
    {
        int64_t score = 0, bestScore = 0;
        uint64_t reach = 0;
        for (uint64_t at = pos; at > start && InBase(at - 1, alignment); --at) {
            score += Agrees(at - 1, alignment) ? 1 : -1;
            if (score > bestScore) {
                bestScore = score;
                reach = pos - (at - 1);
            }
        }
        return reach;
    }

    int64_t AlignmentOf(uint32_t rank, uint64_t targetPos) const
    {
        return static_cast<int64_t>(index.suffixes[rank]) - static_cast<int64_t>(targetPos);
    }

    // How many of the window bytes before pos and after end agree at the alignment.
    uint64_t Surroundings(uint64_t pos, uint64_t end, int64_t alignment) const
    {
        uint64_t agreeing = 0;
        for (uint64_t at = pos > SurroundingWindow ? pos - SurroundingWindow : 0; at < pos; ++at)
            agreeing += Agrees(at, alignment);
        for (uint64_t at = end; at < end + SurroundingWindow && at < targetSize; ++at)
            agreeing += Agrees(at, alignment);
        return agreeing;
    }

    uint64_t Agreeing(uint64_t pos, uint64_t end, int64_t alignment) const
    {
        uint64_t agreeing = 0;
        for (uint64_t at = pos; at < end; ++at) {
            uint64_t run = ExactRun(at, alignment, end - at);
            agreeing += run;
            at += run;
        }
        return agreeing;
    }

    // Whether the match of length bytes from pos (the suffix of the given rank, and those as
    // long beside it in the order) makes a better alignment than the current one: over its
    // bytes and the look-ahead after them (where moved code goes on past a changed pointer)
    // it must agree on at least the margin more bytes. Code and tables repeat, so a match is
    // often as long in several places: of those that qualify, the one whose surroundings
    // agree best is the moved copy rather than a look-alike; between equals, the one nearest
    // the current alignment.
    bool FindBetter(uint64_t pos, uint64_t length, uint32_t rank, int64_t &better) const
    {
        const uint64_t end = targetSize - pos - length > settings.lookAhead
                                 ? pos + length + settings.lookAhead
                                 : targetSize;
        const uint64_t needed = Agreeing(pos, end, offset) + settings.margin;
        if (end - pos < needed)
            return false;
        bool found = false;
        uint64_t bestScore = 0, bestDistance = 0;
        auto consider = [&](int64_t alignment) {
            if (alignment == offset || length + Agreeing(pos + length, end, alignment) < needed)
                return;
            uint64_t score = length > LongestTied ? 0 : Surroundings(pos, pos + length, alignment);
            uint64_t distance =
                static_cast<uint64_t>(alignment > offset ? alignment - offset : offset - alignment);
            if (!found || score > bestScore || (score == bestScore && distance < bestDistance)) {
                found = true;
                better = alignment;
                bestScore = score;
                bestDistance = distance;
            }
        };
        // Another suffix is as long a match when it agrees with the query as far.
        auto tied = [&](uint32_t other) {
            uint64_t start = static_cast<uint64_t>(index.suffixes[other]);
            if (index.baseSize - start < length ||
                AgreeingRun(target + pos, index.base + start, length) < length)
                return false;
            consider(static_cast<int64_t>(start) - static_cast<int64_t>(pos));
            return true;
        };
        consider(AlignmentOf(rank, pos));
        if (length >= ShortestTied && length <= LongestTied) {
            for (uint32_t other = rank, seen = 0; other > 0 && seen < TiesSeen; ++seen) {
                if (!tied(--other))
                    break;
            }
            for (uint32_t other = rank + 1, seen = 0; other < index.baseSize && seen < TiesSeen;
                 ++other, ++seen) {
                if (!tied(other))
                    break;
            }
        }
        return found;
    }

    void Close(uint64_t end)
    {
        if (end > stretchStart)
            stretches.push_back({stretchStart,
                                 static_cast<uint64_t>(static_cast<int64_t>(stretchStart) + offset),
                                 end - stretchStart});
    }

    // The target's bytes from pos on agree exactly with the base at alignment for length
    // bytes. The bytes between the last anchor and pos go to the alignment before, to this
    // one, or are new: each alignment reaches into them as far as it agrees more often than
    // not, and where both reach, the split is where together they agree most.
    void Anchor(uint64_t pos, uint64_t length, int64_t alignment)
    {
        uint64_t forward = ReachForward(anchoredEnd, pos, offset);
        uint64_t backward = ReachBackward(pos, anchoredEnd, alignment);
        uint64_t forwardEnd = anchoredEnd + forward, backwardStart = pos - backward;
        if (forwardEnd > backwardStart) {
            int64_t gain = 0, bestGain = 0;
            uint64_t split = backwardStart;
            for (uint64_t at = backwardStart; at < forwardEnd; ++at) {
                gain += (Agrees(at, offset) ? 1 : 0) - (Agrees(at, alignment) ? 1 : 0);
                if (gain > bestGain) {
                    bestGain = gain;
                    split = at + 1;
                }
            }
            forwardEnd = backwardStart = split;
        }
        // Bytes that disagree inside one alignment stay in it: their differences cost no
        // more than new bytes (often less: a changed pointer differs as its neighbours do),
        // and the alignment goes on without a command.
        if (alignment != offset) {
            Close(forwardEnd);
            stretchStart = backwardStart;
            offset = alignment;
        }
        anchoredEnd = pos + length;
    }

    void Run()
    {
        uint64_t scan = 0, misses = 0;
        while (scan < targetSize) {
            uint64_t run = ExactRun(scan, offset);
            if (run >= settings.followedRun) {
                Anchor(scan, run, offset);
                scan += run;
                misses = 0;
                continue;
            }
            uint32_t rank = 0;
            uint64_t length = LongestMatch(index, target + scan, targetSize - scan, rank);
            int64_t alignment;
            if (length > run && FindBetter(scan, length, rank, alignment)) {
                Anchor(scan, length, alignment);
                scan += length;
                misses = 0;
                continue;
            }
            // Where nothing matches, the search steps faster the longer it finds nothing: a
            // match longer than the step and the margin is still found, and reaches back.
            uint64_t step = 1 + misses / 64;
            if (step > LongestStep)
                step = LongestStep;
            if (run == 0 && length < LongestStep)
                misses++;
            else
                misses = 0;
            scan += run + step;
        }
        Close(anchoredEnd + ReachForward(anchoredEnd, targetSize, offset));
    }
};

} // namespace

bool IndexBase(const uint8_t *base, uint64_t baseSize, SuffixIndex &index)
{
    if (baseSize >= 0x80000000u)
        return false;
    index.base = base;
    index.baseSize = static_cast<uint32_t>(baseSize);
    index.suffixes.resize(baseSize);
    if (baseSize > 0 &&
        divsufsort(base, index.suffixes.data(), static_cast<saidx_t>(baseSize)) != 0)
        return false;
    index.firstTwo.assign(65537, 0);
    for (uint64_t i = 0; i < baseSize; ++i)
        index.firstTwo[KeyAt(base + i, baseSize - i) + 1]++;
    for (uint32_t key = 0; key < 65536; ++key)
        index.firstTwo[key + 1] += index.firstTwo[key];
    return true;
}

void FindStretches(const SuffixIndex &index, const uint8_t *target, uint64_t targetSize,
                   const MatchSettings &settings, std::vector<AlignedStretch> &stretches)
{
    stretches.clear();
    Finder finder = {index, target, targetSize, settings, stretches, 0, 0, 0};
    finder.Run();
}

static void WriteWithWord(const uint8_t *base, uint64_t baseSize, const uint8_t *target,
                          uint64_t targetSize, const std::vector<AlignedStretch> &stretches,
                          uint32_t shortestCopy, uint8_t word, PatchStreams &streams)
{
    StartPatch(streams, baseSize, targetSize, word);
    uint64_t done = 0;
    for (const AlignedStretch &stretch : stretches) {
        AddNew(streams, target + done, stretch.targetStart - done);
        AddAligned(streams, base, stretch.baseStart, target + stretch.targetStart, stretch.length,
                   shortestCopy);
        done = stretch.targetStart + stretch.length;
    }
    AddNew(streams, target + done, targetSize - done);
    FinishPatch(streams);
}

void WriteStretches(const uint8_t *base, uint64_t baseSize, const uint8_t *target,
                    uint64_t targetSize, const std::vector<AlignedStretch> &stretches,
                    const PatchSettings &settings, PatchStreams &streams)
{
    uint8_t word = settings.word;
    uint8_t written = 0; // the word the streams were last written with
    if (word == 0) {
        uint64_t best = UINT64_MAX;
        for (uint8_t candidate = 1; candidate <= PatchLargestWord; candidate *= 2) {
            WriteWithWord(base, baseSize, target, targetSize, stretches, settings.shortestCopy,
                          candidate, streams);
            written = candidate;
            uint64_t size =
                QuickPackedSize(streams.bytes[DiffStream], settings.streams[DiffStream]);
            if (size < best) {
                best = size;
                word = candidate;
            }
        }
    }
    if (written != word)
        WriteWithWord(base, baseSize, target, targetSize, stretches, settings.shortestCopy, word,
                      streams);
}
