#include "guarded_files.h"

#include <string.h>

unsigned char CopyBuffer[CopyBlockSize];

// A slice is what the last flush wrote in about a quarter of a second: small on a slow disk,
// so the window keeps answering; large on a fast one, where each flush costs the copy more
// than its bytes.
enum : ULONGLONG {
    LargestFlushSlice = 256u << 20,
};
enum : DWORD {
    FlushTarget = 250, // milliseconds
};

static ULONGLONG NextFlushSlice(ULONGLONG slice, DWORD took)
{
    ULONGLONG next = slice * FlushTarget / (took != 0 ? took : 1);
    if (next < FirstFlushSlice)
        return FirstFlushSlice;
    return next < LargestFlushSlice ? next : LargestFlushSlice;
}

bool Fail(CopyCheck &check, bool onSource, DWORD error)
{
    check.failedOnSource = onSource;
    check.error = error;
    return false;
}

bool Sha256::Start()
{
    return CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_AES,
                                CRYPT_VERIFYCONTEXT | CRYPT_SILENT) &&
           CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash);
}

bool Sha256::Add(const BYTE *bytes, DWORD size)
{
    return CryptHashData(hash, bytes, size, 0) != 0;
}

bool Sha256::Finish(BYTE *digest)
{
    DWORD size = DigestSize;
    return CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0) && size == DigestSize;
}

bool Sha256::Matches(const BYTE *expected)
{
    BYTE value[DigestSize];
    return Finish(value) && memcmp(value, expected, DigestSize) == 0;
}

Sha256::~Sha256()
{
    if (hash != 0)
        CryptDestroyHash(hash);
    if (provider != 0)
        CryptReleaseContext(provider, 0);
}

bool StagedWriter::Put(const BYTE *bytes, DWORD size)
{
    if (sha != nullptr && !sha->Add(bytes, size))
        return Fail(*check, false, GetLastError());
    DWORD done = 0;
    if (!WriteFile(file, bytes, size, &done, nullptr))
        return Fail(*check, false, GetLastError());
    if (done != size)
        return Fail(*check, false, ERROR_DISK_FULL);
    written += size;
    unflushed += size;
    if (unflushed >= slice) {
        DWORD started = GetTickCount();
        if (!FlushFileBuffers(file))
            return Fail(*check, false, GetLastError());
        slice = NextFlushSlice(slice, GetTickCount() - started);
        unflushed = 0;
    }
    if (check->progress != nullptr) {
        check->progress->bytesDone += size;
        if (check->view != nullptr)
            check->view->progress(check->view->context, *check->progress);
    }
    return true;
}

// Block by block, each told to the writer as read. A short block is the last: a file that
// states another size than it gives (one still being written, say) is told by the sizes.
static bool Transfer(HANDLE source, StagedWriter &writer)
{
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(source, CopyBuffer, CopyBlockSize, &got, nullptr))
            return Fail(*writer.check, true, GetLastError());
        if (!writer.Put(CopyBuffer, got))
            return false;
        if (got < CopyBlockSize)
            return true;
    }
}

bool FinishStaged(HANDLE staged, HANDLE source, CopyCheck &check)
{
    FILETIME created, accessed, written;
    if (check.bound != nullptr) {
        created = accessed = written = check.bound->written;
    } else if (!GetFileTime(source, &created, &accessed, &written)) {
        return Fail(check, true, GetLastError());
    }
    check.created = created;
    if (!SetFileTime(staged, &created, &accessed, &written) || !FlushFileBuffers(staged))
        return Fail(check, false, GetLastError());
    return true;
}

bool FileFacts(const wchar_t *path, ULONGLONG &size, FILETIME &written)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data))
        return false;
    // A folder of the name is no file; the last error of a call that succeeded says nothing.
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    size = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    written = data.ftLastWriteTime;
    return true;
}

HANDLE OpenToRead(const wchar_t *path)
{
    // Nobody may write the file while it is read: the copy would be torn.
    return CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
}

DWORD CreateStaged(const StagedPlace &place, GuardedFile &staged)
{
    return CreateGuarded(*place.root, place.name, place.suffix, GENERIC_WRITE, 0, staged);
}

// The new content goes into a file of the pass's own, never into the installed one; the
// caller puts it in place once every file of the update is known to be whole. On failure the
// system's error of the failing step is kept before any clean-up can change it, and the
// staged file is gone.
bool SetupEngine::CopyVerified(const StagedPlace &place, const wchar_t *sourcePath,
                               CopyCheck &check)
{
    check.damaged = false;
    check.otherBase = false;
    check.failedOnSource = false;
    check.error = 0;
    Sha256 sha;
    GuardedFile staged;
    bool good = true;
    HANDLE source = OpenToRead(sourcePath);
    LARGE_INTEGER size = {};
    if (source == INVALID_HANDLE_VALUE || !GetFileSizeEx(source, &size))
        good = Fail(check, true, GetLastError());
    DWORD made = good ? CreateStaged(place, staged) : static_cast<DWORD>(ERROR_SUCCESS);
    if (made != ERROR_SUCCESS)
        good = Fail(check, false, made);
    if (good && check.bound != nullptr && !sha.Start())
        good = Fail(check, false, GetLastError());
    if (good) {
        ULONGLONG expected =
            check.bound != nullptr ? check.bound->size : static_cast<ULONGLONG>(size.QuadPart);
        StagedWriter writer = {staged.handle, check.bound != nullptr ? &sha : nullptr, &check};
        good = Transfer(source, writer);
        if (good && (writer.written != expected ||
                     (check.bound != nullptr && !sha.Matches(check.bound->digest)))) {
            // A bound file is damaged; a plain one changed or was cut short while read.
            check.damaged = check.bound != nullptr;
            good = Fail(check, true, check.damaged ? ERROR_INVALID_DATA : ERROR_READ_FAULT);
        }
        good = good && FinishStaged(staged.handle, source, check);
    }
    if (source != INVALID_HANDLE_VALUE)
        CloseHandle(source);
    if (!good && staged.handle != INVALID_HANDLE_VALUE)
        DeleteGuarded(staged);
    return good;
}
