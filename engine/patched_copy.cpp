// A file of a bound update rebuilt from the version installed and a patch beside the tool,
// into a staged file checked exactly as a copied one is: its size and SHA-256 on the bytes
// written. Which version is installed is settled by its size where the size can tell, and by
// one reading of its bytes where it cannot.
#include "guarded_files.h"
#include "patch_decoder.h"
#include "patch_format.h"

#include <string.h>

namespace {

// Both the patch and the installed file are read at the offsets the decoder asks for.
bool ReadAt(HANDLE file, uint64_t offset, uint8_t *bytes, uint32_t size)
{
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    DWORD got = 0;
    return SetFilePointerEx(file, at, nullptr, FILE_BEGIN) &&
           ReadFile(file, bytes, size, &got, nullptr) && got == size;
}

// The decoder runs on a thread of its own while the pass's thread writes and hashes what it
// rebuilt, handed over a piece at a time through two slots: on two cores a rebuilt file goes
// in about as fast as a copied one, where decoding and writing by turns took half as long again.
enum : DWORD { EndOfPieces = 0xFFFFFFFF };
uint8_t PieceSlots[2][PatchTargetPieceLimit];

struct Rebuild {
    HANDLE patch;
    HANDLE base;
    DWORD readError; // the system's, of the read that failed
    bool patchFailed;
    uint64_t patchSize, baseSize, targetSize;
    HANDLE slotsFree;  // semaphore: slots the decoder may fill
    HANDLE handedOver; // semaphore: slots filled, with a piece or with the end
    DWORD pieceSizes[2];
    unsigned filling;           // the decoder's next slot
    volatile LONG writerFailed; // the decoder then ends at its next piece
    PatchOutcome outcome;
};

// A failed read keeps the system's error and which file it was.
bool ReadNoting(Rebuild &rebuild, HANDLE file, uint64_t offset, uint8_t *bytes, uint32_t size)
{
    if (ReadAt(file, offset, bytes, size))
        return true;
    rebuild.readError = GetLastError();
    rebuild.patchFailed = file == rebuild.patch;
    return false;
}

bool ReadPatch(void *context, uint64_t offset, uint8_t *bytes, uint32_t size)
{
    Rebuild &rebuild = *static_cast<Rebuild *>(context);
    return ReadNoting(rebuild, rebuild.patch, offset, bytes, size);
}

bool ReadBase(void *context, uint64_t offset, uint8_t *bytes, uint32_t size)
{
    Rebuild &rebuild = *static_cast<Rebuild *>(context);
    return ReadNoting(rebuild, rebuild.base, offset, bytes, size);
}

bool HandOver(void *context, const uint8_t *bytes, uint32_t size)
{
    Rebuild &rebuild = *static_cast<Rebuild *>(context);
    WaitForSingleObject(rebuild.slotsFree, INFINITE);
    if (rebuild.writerFailed != 0) {
        ReleaseSemaphore(rebuild.slotsFree, 1, nullptr); // for the end
        return false;
    }
    memcpy(PieceSlots[rebuild.filling], bytes, size);
    rebuild.pieceSizes[rebuild.filling] = size;
    rebuild.filling ^= 1;
    ReleaseSemaphore(rebuild.handedOver, 1, nullptr);
    return true;
}

DWORD WINAPI DecodeAside(void *context)
{
    Rebuild &rebuild = *static_cast<Rebuild *>(context);
    PatchIo io = {&rebuild, ReadPatch, ReadBase, HandOver};
    rebuild.outcome = RebuildFromPatch(io, rebuild.patchSize, rebuild.baseSize, rebuild.targetSize);
    WaitForSingleObject(rebuild.slotsFree, INFINITE);
    rebuild.pieceSizes[rebuild.filling] = EndOfPieces;
    ReleaseSemaphore(rebuild.handedOver, 1, nullptr);
    return 0;
}

// Every piece the decoder hands over goes to the writer until one fails. True once the decoder
// has ended, its outcome in rebuild; false, with the system's error, where it could not start.
bool RebuildThroughPipe(Rebuild &rebuild, StagedWriter &writer, DWORD &error)
{
    rebuild.filling = 0;
    rebuild.writerFailed = 0;
    rebuild.outcome = PatchWriteFailed;
    rebuild.slotsFree = CreateSemaphoreW(nullptr, 2, 2, nullptr);
    rebuild.handedOver = CreateSemaphoreW(nullptr, 0, 2, nullptr);
    HANDLE decoder = nullptr;
    if (rebuild.slotsFree != nullptr && rebuild.handedOver != nullptr)
        decoder = CreateThread(nullptr, 0, DecodeAside, &rebuild, 0, nullptr);
    error = decoder == nullptr ? GetLastError() : static_cast<DWORD>(ERROR_SUCCESS);
    for (unsigned taking = 0; decoder != nullptr; taking ^= 1) {
        WaitForSingleObject(rebuild.handedOver, INFINITE);
        DWORD size = rebuild.pieceSizes[taking];
        if (size == EndOfPieces)
            break;
        if (rebuild.writerFailed == 0 && !writer.Put(PieceSlots[taking], size))
            InterlockedExchange(&rebuild.writerFailed, 1);
        ReleaseSemaphore(rebuild.slotsFree, 1, nullptr);
    }
    if (decoder != nullptr) {
        WaitForSingleObject(decoder, INFINITE);
        CloseHandle(decoder);
    }
    if (rebuild.writerFailed != 0)
        rebuild.outcome = PatchWriteFailed; // the writer kept the system's error
    if (rebuild.slotsFree != nullptr)
        CloseHandle(rebuild.slotsFree);
    if (rebuild.handedOver != nullptr)
        CloseHandle(rebuild.handedOver);
    return decoder != nullptr;
}

// A whole file's SHA-256, the view told between blocks.
bool DigestOf(HANDLE file, BYTE *digest, CopyCheck &check)
{
    Sha256 sha;
    if (!sha.Start())
        return Fail(check, false, GetLastError());
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, CopyBuffer, CopyBlockSize, &got, nullptr))
            return Fail(check, false, GetLastError());
        if (got == 0)
            break;
        if (!sha.Add(CopyBuffer, got))
            return Fail(check, false, GetLastError());
        if (check.view != nullptr && check.progress != nullptr)
            check.view->progress(check.view->context, *check.progress);
    }
    return sha.Finish(digest) || Fail(check, false, GetLastError());
}

void CloseIfOpen(HANDLE file)
{
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
}

// Which version of a bound file is installed.
enum InstalledVersion {
    InstalledNew,    // already the update's
    InstalledBase,   // the base of one of its patches
    InstalledOther,  // none the update knows, or none at all
    InstalledUnread, // it could not be read; the check holds the system's error
};

// Read whole only where the size cannot tell; base is the index of the patch that starts from
// it. The one base of its size is taken on its size alone, the rebuilt bytes' digest to prove
// it, even where the new file has that size too (unproven then says so): a first run, by far
// the most common, reads the file once.
InstalledVersion IdentifyInstalled(const wchar_t *installedPath, const BoundFile &file,
                                   const BoundPatch *patches, DWORD count, DWORD &base,
                                   bool &unproven, CopyCheck &check)
{
    unproven = false;
    HANDLE installed = OpenToRead(installedPath);
    if (installed == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (SaysNotThere(error))
            return InstalledOther;
        Fail(check, false, error);
        return InstalledUnread;
    }
    InstalledVersion version = InstalledOther;
    LARGE_INTEGER size = {};
    DWORD sameSize = 0;
    if (!GetFileSizeEx(installed, &size)) {
        Fail(check, false, GetLastError());
        version = InstalledUnread;
    }
    for (DWORD i = 0; version != InstalledUnread && i < count; ++i) {
        if (patches[i].baseSize == static_cast<ULONGLONG>(size.QuadPart)) {
            base = i;
            ++sameSize;
        }
    }
    bool newSize = static_cast<ULONGLONG>(size.QuadPart) == file.size;
    if (version != InstalledUnread && sameSize == 1) {
        version = InstalledBase;
        unproven = newSize;
    }
    BYTE digest[DigestSize];
    if (version == InstalledOther && (newSize || sameSize > 1)) {
        if (!DigestOf(installed, digest, check))
            version = InstalledUnread;
        else if (memcmp(digest, file.digest, DigestSize) == 0)
            version = InstalledNew;
        for (DWORD i = 0; version == InstalledOther && i < count; ++i) {
            if (memcmp(digest, patches[i].baseDigest, DigestSize) == 0) {
                base = i;
                version = InstalledBase;
            }
        }
    }
    CloseHandle(installed);
    return version;
}

bool PatchPath(wchar_t *path, const wchar_t *updateFolder, const wchar_t *name, DWORD number)
{
    wchar_t suffix[32];
    wsprintfW(suffix, L".%lu.qpatch", number);
    return SystemPath(path, updateFolder, name, suffix);
}

} // namespace

DWORD PatchesPresent(const wchar_t *updateFolder, const wchar_t *name, const BoundPatch *patches,
                     DWORD count)
{
    for (DWORD k = 0; k < count; ++k) {
        wchar_t path[ComposedPathCapacity];
        if (!PatchPath(path, updateFolder, name, k + 1))
            return ERROR_FILENAME_EXCED_RANGE;
        ULONGLONG size = 0;
        FILETIME written;
        if (!FileFacts(path, size, written)) {
            DWORD error = GetLastError();
            return SaysNotThere(error) ? static_cast<DWORD>(ERROR_FILE_NOT_FOUND) : error;
        }
        if (size != patches[k].size)
            return ERROR_FILE_NOT_FOUND;
    }
    return ERROR_SUCCESS;
}

DWORD InstalledFitsPatches(const wchar_t *installedPath, const BoundFile &file,
                           const BoundPatch *patches, DWORD count)
{
    ULONGLONG size = 0;
    FILETIME written;
    if (!FileFacts(installedPath, size, written)) {
        DWORD error = GetLastError();
        return SaysNotThere(error) ? static_cast<DWORD>(ERROR_INVALID_DATA) : error;
    }
    bool known = size == file.size;
    for (DWORD i = 0; i < count; ++i)
        known = known || patches[i].baseSize == size;
    return known ? static_cast<DWORD>(ERROR_SUCCESS) : static_cast<DWORD>(ERROR_INVALID_DATA);
}

bool SetupEngine::StageBound(const StagedPlace &staged, const wchar_t *installedPath,
                             const wchar_t *sourcePath, const wchar_t *updateFolder,
                             const wchar_t *name, const BoundPatch *patches, DWORD patchCount,
                             bool newCounts, bool &alreadyNew, CopyCheck &check)
{
    alreadyNew = false;
    check.otherBase = false;
    check.failedOnBase = false;
    DWORD base = 0;
    bool unproven = false;
    InstalledVersion version =
        IdentifyInstalled(installedPath, *check.bound, patches, patchCount, base, unproven, check);
    if (version == InstalledUnread) {
        check.failedOnBase = true;
        return false;
    }
    if (version == InstalledNew && newCounts) {
        alreadyNew = true;
        return false;
    }
    if (patchCount == 0)
        return CopyVerified(staged, sourcePath, check);
    wchar_t patch[ComposedPathCapacity];
    if (version != InstalledBase) {
        check.otherBase = true;
        return Fail(check, false, ERROR_INVALID_DATA);
    }
    if (!PatchPath(patch, updateFolder, name, base + 1))
        return Fail(check, true, ERROR_FILENAME_EXCED_RANGE);
    bool rebuilt = RebuildVerified(staged, installedPath, patch, patches[base], check);
    if (rebuilt || !unproven || !check.otherBase)
        return rebuilt;
    // Not the base after all, and of the new file's size: the new file already, as a second
    // run finds it, or another version.
    version = IdentifyInstalled(installedPath, *check.bound, nullptr, 0, base, unproven, check);
    if (version == InstalledUnread)
        check.failedOnBase = true;
    alreadyNew = version == InstalledNew && newCounts;
    return false;
}

// The patch's own bytes are checked first, so that rebuilt bytes other than the new file's can
// only mean that the installed file is not the patch's base.
bool SetupEngine::RebuildVerified(const StagedPlace &place, const wchar_t *basePath,
                                  const wchar_t *patchPath, const BoundPatch &patch,
                                  CopyCheck &check)
{
    check.damaged = false;
    check.otherBase = false;
    check.failedOnSource = false;
    check.failedOnBase = false;
    check.error = 0;
    Rebuild rebuild = {};
    rebuild.patch = OpenToRead(patchPath);
    rebuild.base = OpenToRead(basePath);
    GuardedFile staged;
    Sha256 sha;
    BYTE digest[DigestSize];
    LARGE_INTEGER size = {};
    bool good = true;
    if (rebuild.patch == INVALID_HANDLE_VALUE || !GetFileSizeEx(rebuild.patch, &size))
        good = Fail(check, true, GetLastError());
    CopyCheck quiet = {}; // the patch's reading moves no progress
    if (good && (!DigestOf(rebuild.patch, digest, quiet) ||
                 static_cast<ULONGLONG>(size.QuadPart) != patch.size ||
                 memcmp(digest, patch.digest, DigestSize) != 0)) {
        check.damaged = quiet.error == 0;
        good = Fail(check, true, quiet.error != 0 ? quiet.error : ERROR_INVALID_DATA);
    }
    if (good && rebuild.base == INVALID_HANDLE_VALUE) {
        check.failedOnBase = true;
        good = Fail(check, false, GetLastError());
    }
    DWORD made = good ? CreateStaged(place, staged) : static_cast<DWORD>(ERROR_SUCCESS);
    if (made != ERROR_SUCCESS)
        good = Fail(check, false, made);
    if (good && !sha.Start())
        good = Fail(check, false, GetLastError());
    if (good) {
        StagedWriter writer = {staged.handle, &sha, &check};
        rebuild.patchSize = patch.size;
        rebuild.baseSize = patch.baseSize;
        rebuild.targetSize = check.bound->size;
        DWORD error = ERROR_SUCCESS;
        bool ran = RebuildThroughPipe(rebuild, writer, error);
        PatchOutcome outcome = rebuild.outcome;
        if (!ran) {
            good = Fail(check, false, error);
        } else if (outcome == PatchReadFailed) {
            check.failedOnBase = !rebuild.patchFailed;
            good = Fail(check, rebuild.patchFailed, rebuild.readError);
        } else if (outcome == PatchWriteFailed) {
            good = false; // the writer kept the system's error
        } else if (outcome == PatchNoMemory) {
            good = Fail(check, false, ERROR_NOT_ENOUGH_MEMORY);
        } else if (outcome == PatchMalformed || writer.written != check.bound->size ||
                   !sha.Matches(check.bound->digest)) {
            // The patch's bytes were the bound ones: what it rebuilt from this file is not the
            // new one, so this file is not the base it was made from.
            check.otherBase = true;
            good = Fail(check, false, ERROR_INVALID_DATA);
        }
    }
    good = good && FinishStaged(staged.handle, nullptr, check);
    CloseIfOpen(rebuild.patch);
    CloseIfOpen(rebuild.base);
    if (!good && staged.handle != INVALID_HANDLE_VALUE)
        DeleteGuarded(staged);
    return good;
}
