#include "patch_maker.h"

#include <thread>
#include <time.h>

double Seconds()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

PatchMade MakePatch(const uint8_t *base, uint64_t baseSize, const uint8_t *target,
                    uint64_t targetSize, const MatchSettings &match, const PatchSettings &settings,
                    std::vector<uint8_t> &patch, PatchStreams &streams, PatchTimes &times)
{
    double start = Seconds();
    std::vector<AlignedStretch> stretches;
    {
        SuffixIndex index;
        if (baseSize >= 0x80000000u)
            return PatchBaseTooLarge;
        if (!IndexBase(base, baseSize, index))
            return PatchSortFailed;
        double sorted = Seconds();
        times.sorting = sorted - start;
        start = sorted;
        FindStretches(index, target, targetSize, match, stretches);
    }
    WriteStretches(base, baseSize, target, targetSize, stretches, settings, streams);
    double matched = Seconds();
    times.matching = matched - start;
    // The diff stream beside the others: each stream's bytes depend on it alone, so the
    // patch is the same however the two threads go.
    PackedStream packed[PatchStreamCount];
    bool packedDiff = false;
    std::thread diffThread([&] {
        packedDiff =
            PackStream(streams.bytes[DiffStream], settings.streams[DiffStream], packed[DiffStream]);
    });
    bool packedOthers = PackStream(streams.bytes[LiteralStream], settings.streams[LiteralStream],
                                   packed[LiteralStream]) &&
                        PackStream(streams.bytes[ControlStream], settings.streams[ControlStream],
                                   packed[ControlStream]);
    diffThread.join();
    times.packing = Seconds() - matched;
    if (!packedDiff || !packedOthers)
        return PatchPackFailed;
    LayOutPatch(streams, packed, patch);
    return PatchMadeOk;
}
