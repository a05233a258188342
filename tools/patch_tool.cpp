// The packer's patch maker, and the exe's own decoder for its self-check:
//   patch_tool make OLD NEW PATCH [NAME=VALUE...]
//   patch_tool apply OLD PATCH OUT
// make prints one line (sizes and time); both exit with 1 and a line on stderr on failure.
// NAME=VALUE changes a setting of the matching or of a stream's LZMA (see Usage), for the
// measurements in scripts/benchmark-patches.
#include "../engine/patch_decoder.h"
#include "patch_maker.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

void Usage()
{
    fputs("usage: patch_tool make OLD NEW PATCH [NAME=VALUE...]\n"
          "       patch_tool apply OLD PATCH OUT\n"
          "settings: followed, margin, lookahead, copy, word (0: the best of 1, 2, 4, 8);\n"
          "  STREAM.dictionary, .lc, .lp, .pb, .fb with STREAM control, diff or literal\n",
          stderr);
}

// One line: what failed, and the system's reason where there is one.
int Fail(const char *what, const char *path)
{
    if (errno != 0)
        fprintf(stderr, "patch_tool: %s %s: %s\n", what, path, strerror(errno));
    else
        fprintf(stderr, "patch_tool: %s %s\n", what, path);
    return 1;
}

// A whole file, mapped read-only.
struct MappedFile {
    const uint8_t *bytes;
    uint64_t size;
    void *mapping;
};

bool MapFile(const char *path, MappedFile &file)
{
    static const uint8_t nothing = 0;
    file.bytes = &nothing;
    file.size = 0;
    file.mapping = MAP_FAILED;
    int descriptor = open(path, O_RDONLY);
    if (descriptor < 0)
        return false;
    struct stat status;
    bool mapped = fstat(descriptor, &status) == 0;
    if (mapped && status.st_size > 0) {
        file.size = static_cast<uint64_t>(status.st_size);
        file.mapping = mmap(nullptr, file.size, PROT_READ, MAP_PRIVATE, descriptor, 0);
        mapped = file.mapping != MAP_FAILED;
        if (mapped)
            file.bytes = static_cast<const uint8_t *>(file.mapping);
    }
    close(descriptor);
    return mapped;
}

void UnmapFile(MappedFile &file)
{
    if (file.mapping != MAP_FAILED)
        munmap(file.mapping, file.size);
}

bool WriteWhole(const char *path, const std::vector<uint8_t> &bytes)
{
    FILE *out = fopen(path, "wb");
    if (out == nullptr)
        return false;
    bool written = fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    return fclose(out) == 0 && written;
}

bool SetSetting(const char *assignment, MatchSettings &match, PatchSettings &patch)
{
    const char *equals = strchr(assignment, '=');
    if (equals == nullptr)
        return false;
    char *end;
    unsigned long value = strtoul(equals + 1, &end, 0);
    if (*end != '\0' || end == equals + 1)
        return false;
    size_t nameLength = static_cast<size_t>(equals - assignment);
    auto is = [&](const char *name) {
        return strlen(name) == nameLength && strncmp(assignment, name, nameLength) == 0;
    };
    if (is("followed"))
        match.followedRun = static_cast<uint32_t>(value);
    else if (is("margin"))
        match.margin = static_cast<uint32_t>(value);
    else if (is("lookahead"))
        match.lookAhead = static_cast<uint32_t>(value);
    else if (is("copy"))
        patch.shortestCopy = static_cast<uint32_t>(value);
    else if (is("word") && (value == 0 || value == 1 || value == 2 || value == 4 || value == 8))
        patch.word = static_cast<uint8_t>(value);
    else {
        static const char *const streamNames[PatchStreamCount] = {"control", "diff", "literal"};
        for (unsigned i = 0; i < PatchStreamCount; ++i) {
            size_t prefix = strlen(streamNames[i]);
            if (nameLength <= prefix + 1 || strncmp(assignment, streamNames[i], prefix) != 0 ||
                assignment[prefix] != '.')
                continue;
            StreamSettings &stream = patch.streams[i];
            const char *field = assignment + prefix + 1;
            size_t fieldLength = nameLength - prefix - 1;
            auto fieldIs = [&](const char *name) {
                return strlen(name) == fieldLength && strncmp(field, name, fieldLength) == 0;
            };
            if (fieldIs("dictionary"))
                stream.dictionary = static_cast<uint32_t>(value);
            else if (fieldIs("lc") && value <= 8)
                stream.lc = static_cast<uint8_t>(value);
            else if (fieldIs("lp") && value <= 4)
                stream.lp = static_cast<uint8_t>(value);
            else if (fieldIs("pb") && value <= 4)
                stream.pb = static_cast<uint8_t>(value);
            else if (fieldIs("fb") && value >= 5 && value <= 273)
                stream.fastBytes = static_cast<uint16_t>(value);
            else
                return false;
            return true;
        }
        return false;
    }
    return true;
}

int Make(int argc, char **argv)
{
    MatchSettings match = DefaultMatchSettings;
    PatchSettings settings = DefaultPatchSettings;
    for (int i = 5; i < argc; ++i) {
        if (!SetSetting(argv[i], match, settings)) {
            fprintf(stderr, "patch_tool: not a setting: %s\n", argv[i]);
            Usage();
            return 2;
        }
    }
    uint64_t windows = 0;
    for (const StreamSettings &stream : settings.streams)
        windows += stream.dictionary;
    if (windows > PatchWindowLimit) {
        fprintf(stderr, "patch_tool: the dictionaries add up to more than %u bytes\n",
                static_cast<unsigned>(PatchWindowLimit));
        return 2;
    }
    const double start = Seconds();
    MappedFile base, target;
    errno = 0;
    if (!MapFile(argv[2], base))
        return Fail("cannot read", argv[2]);
    if (!MapFile(argv[3], target)) {
        UnmapFile(base);
        return Fail("cannot read", argv[3]);
    }
    std::vector<uint8_t> patch;
    PatchStreams streams;
    PatchTimes times;
    PatchMade made = MakePatch(base.bytes, base.size, target.bytes, target.size, match, settings,
                               patch, streams, times);
    int status = 0;
    errno = 0;
    if (made == PatchBaseTooLarge)
        status = Fail("a base of 2 GiB or more cannot be patched:", argv[2]);
    else if (made == PatchSortFailed)
        status = Fail("cannot sort the suffixes of", argv[2]);
    else if (made == PatchPackFailed)
        status = Fail("LZMA failed (no memory?) for", argv[4]);
    else if (!WriteWhole(argv[4], patch))
        status = Fail("cannot write", argv[4]);
    if (status == 0) {
        uint64_t packed[PatchStreamCount];
        for (unsigned i = 0; i < PatchStreamCount; ++i)
            packed[i] = PatchGet64(
                &patch[PatchStreamsOffset + i * PatchDescriptorSize + PatchPackedSizeOffset]);
        printf("%s: %llu bytes from %llu to %llu (%.2f%%); %llu commands, word %u; control, "
               "diff, literal %llu, %llu, %llu bytes packed into %llu, %llu, %llu; %.1f s "
               "(suffixes %.1f, matching %.1f, LZMA %.1f)\n",
               argv[4], static_cast<unsigned long long>(patch.size()),
               static_cast<unsigned long long>(base.size),
               static_cast<unsigned long long>(target.size),
               target.size != 0
                   ? 100.0 * static_cast<double>(patch.size()) / static_cast<double>(target.size)
                   : 0.0,
               static_cast<unsigned long long>(streams.commands),
               static_cast<unsigned>(streams.word),
               static_cast<unsigned long long>(streams.bytes[ControlStream].size()),
               static_cast<unsigned long long>(streams.bytes[DiffStream].size()),
               static_cast<unsigned long long>(streams.bytes[LiteralStream].size()),
               static_cast<unsigned long long>(packed[ControlStream]),
               static_cast<unsigned long long>(packed[DiffStream]),
               static_cast<unsigned long long>(packed[LiteralStream]), Seconds() - start,
               times.sorting, times.matching, times.packing);
    }
    UnmapFile(base);
    UnmapFile(target);
    return status;
}

struct ApplyFiles {
    int patch, base, out;
};

bool ReadAt(int descriptor, uint64_t offset, uint8_t *bytes, uint32_t size)
{
    while (size > 0) {
        ssize_t got = pread(descriptor, bytes, size, static_cast<off_t>(offset));
        if (got <= 0)
            return false;
        bytes += got;
        offset += static_cast<uint64_t>(got);
        size -= static_cast<uint32_t>(got);
    }
    return true;
}

bool ReadPatch(void *context, uint64_t offset, uint8_t *bytes, uint32_t size)
{
    return ReadAt(static_cast<ApplyFiles *>(context)->patch, offset, bytes, size);
}

bool ReadBase(void *context, uint64_t offset, uint8_t *bytes, uint32_t size)
{
    return ReadAt(static_cast<ApplyFiles *>(context)->base, offset, bytes, size);
}

bool WriteTarget(void *context, const uint8_t *bytes, uint32_t size)
{
    int descriptor = static_cast<ApplyFiles *>(context)->out;
    while (size > 0) {
        ssize_t put = write(descriptor, bytes, size);
        if (put <= 0)
            return false;
        bytes += put;
        size -= static_cast<uint32_t>(put);
    }
    return true;
}

uint64_t SizeOf(int descriptor)
{
    struct stat status;
    return fstat(descriptor, &status) == 0 ? static_cast<uint64_t>(status.st_size) : 0;
}

int Apply(char **argv)
{
    errno = 0;
    ApplyFiles files = {open(argv[3], O_RDONLY), open(argv[2], O_RDONLY), -1};
    int status = 0;
    uint8_t header[PatchHeaderSize];
    if (files.patch < 0)
        status = Fail("cannot read", argv[3]);
    else if (files.base < 0)
        status = Fail("cannot read", argv[2]);
    else if (!ReadAt(files.patch, 0, header, PatchHeaderSize))
        status = Fail("not a patch:", argv[3]);
    else if ((files.out = open(argv[4], O_WRONLY | O_CREAT | O_TRUNC, 0644)) < 0)
        status = Fail("cannot write", argv[4]);
    if (status == 0) {
        // The sizes the patch names; the decoder checks them against the base it is given.
        uint64_t targetSize = PatchGet64(header + PatchTargetSizeOffset);
        PatchIo io = {&files, ReadPatch, ReadBase, WriteTarget};
        PatchOutcome outcome =
            RebuildFromPatch(io, SizeOf(files.patch), SizeOf(files.base), targetSize);
        if (outcome == PatchMalformed) {
            errno = 0;
            status = Fail("not a patch from this base, or damaged:", argv[3]);
        } else if (outcome == PatchReadFailed) {
            status = Fail("cannot read the base or", argv[3]);
        } else if (outcome == PatchWriteFailed) {
            status = Fail("cannot write", argv[4]);
        } else if (outcome == PatchNoMemory) {
            errno = 0;
            status = Fail("no memory to rebuild", argv[4]);
        }
    }
    if (files.out >= 0 && close(files.out) != 0 && status == 0)
        status = Fail("cannot write", argv[4]);
    if (status != 0 && files.out >= 0)
        unlink(argv[4]);
    if (files.patch >= 0)
        close(files.patch);
    if (files.base >= 0)
        close(files.base);
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc >= 5 && strcmp(argv[1], "make") == 0)
        return Make(argc, argv);
    if (argc == 5 && strcmp(argv[1], "apply") == 0)
        return Apply(argv);
    Usage();
    return 2;
}
