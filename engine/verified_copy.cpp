#include "setup_engine.h"

#include <io.h>
#include <stdlib.h>
#include <share.h>
#include <string.h>

unsigned char CopyBuffer[CopyBlockSize];

// How much new content may wait in the cache: flushed in slices as it is written, the end of
// a large file costs one short flush rather than seconds without an answer. A slice is what
// the last flush wrote in about a quarter of a second: small on a slow disk, so the window
// keeps answering; large on a fast one, where each flush costs the copy more than its bytes.
enum : ULONGLONG {
    FirstFlushSlice = 8u << 20,
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

static HANDLE HandleOf(FILE *stream)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

// The system's error behind a failed stream call. Some runtimes leave _doserrno unset for a
// full disk; the system's own last error still tells.
static DWORD StreamError()
{
    DWORD error = static_cast<DWORD>(_doserrno);
    if (error == 0)
        error = GetLastError();
    return error != 0 ? error : static_cast<DWORD>(ERROR_WRITE_FAULT);
}

static bool Fail(CopyCheck &check, bool onSource, DWORD error)
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

// The blocks go straight to the system (no stream buffer); each is hashed as it goes from
// the buffer to the file, so the digest is that of the bytes written.
static bool Transfer(FILE *source, FILE *destination, Sha256 *sha, CopyCheck &check,
                     ULONGLONG &copied)
{
    ULONGLONG unflushed = 0;
    ULONGLONG slice = FirstFlushSlice;
    for (;;) {
        size_t got = fread(CopyBuffer, 1, CopyBlockSize, source);
        if (sha != nullptr && !sha->Add(CopyBuffer, static_cast<DWORD>(got)))
            return Fail(check, false, GetLastError());
        // Through the stream's own handle: the runtime loses the system's error of a write
        // to a full disk, which the user must hear about.
        DWORD written = 0;
        if (!WriteFile(HandleOf(destination), CopyBuffer, static_cast<DWORD>(got), &written,
                       nullptr))
            return Fail(check, false, GetLastError());
        if (written != got)
            return Fail(check, false, ERROR_DISK_FULL);
        copied += got;
        unflushed += got;
        if (unflushed >= slice) {
            DWORD started = GetTickCount();
            if (!FlushFileBuffers(HandleOf(destination)))
                return Fail(check, false, GetLastError());
            slice = NextFlushSlice(slice, GetTickCount() - started);
            unflushed = 0;
        }
        if (check.progress != nullptr) {
            check.progress->bytesDone += got;
            if (check.view != nullptr)
                check.view->progress(check.view->context, *check.progress);
        }
        if (got < CopyBlockSize)
            return ferror(source) == 0 || Fail(check, true, StreamError());
    }
}

// The staged file gets the new times on its own handle and reaches the disk before the pass
// puts it in place, so that neither a crash nor a power cut leaves new content with old times
// or an installed file of zeros.
static bool Finish(FILE *source, FILE *destination, CopyCheck &check)
{
    FILETIME created, accessed, written;
    if (check.bound != nullptr) {
        created = accessed = written = check.bound->written;
    } else if (!GetFileTime(HandleOf(source), &created, &accessed, &written)) {
        return Fail(check, true, GetLastError());
    }
    check.created = created;
    HANDLE staged = HandleOf(destination);
    if (!SetFileTime(staged, &created, &accessed, &written) || !FlushFileBuffers(staged))
        return Fail(check, false, GetLastError());
    return true;
}

static ULONGLONG SizeOfStream(FILE *stream)
{
    LARGE_INTEGER size = {};
    GetFileSizeEx(HandleOf(stream), &size);
    return static_cast<ULONGLONG>(size.QuadPart);
}

// The new content goes into a file of the pass's own, never into the installed one; the
// caller puts it in place once every file of the update is known to be whole. On failure the
// system's error of the failing step is kept before any clean-up can change it, and the
// staged file is gone.
bool SetupEngine::CopyVerified(const wchar_t *destinationPath, const wchar_t *sourcePath,
                               CopyCheck &check)
{
    check.damaged = false;
    check.failedOnSource = false;
    check.error = 0;
    _doserrno = 0;
    Sha256 sha;
    bool good = true;
    sourceStream = _wfsopen(sourcePath, L"rb", _SH_DENYWR);
    if (sourceStream == nullptr)
        good = Fail(check, true, StreamError());
    if (good) {
        destinationStream = _wfsopen(destinationPath, L"wb", _SH_DENYRW);
        if (destinationStream == nullptr)
            good = Fail(check, false, StreamError());
    }
    if (good && check.bound != nullptr && !sha.Start())
        good = Fail(check, false, GetLastError());
    if (good) {
        setvbuf(sourceStream, nullptr, _IONBF, 0);
        setvbuf(destinationStream, nullptr, _IONBF, 0);
        ULONGLONG expected =
            check.bound != nullptr ? check.bound->size : SizeOfStream(sourceStream);
        ULONGLONG copied = 0;
        good = Transfer(sourceStream, destinationStream, check.bound != nullptr ? &sha : nullptr,
                        check, copied);
        if (good &&
            (copied != expected || (check.bound != nullptr && !sha.Matches(check.bound->digest)))) {
            // A bound file is damaged; a plain one changed or was cut short while read.
            check.damaged = check.bound != nullptr;
            good = Fail(check, true, check.damaged ? ERROR_INVALID_DATA : ERROR_READ_FAULT);
        }
        good = good && Finish(sourceStream, destinationStream, check);
    }
    if (sourceStream != nullptr)
        fclose(sourceStream);
    sourceStream = nullptr;
    bool opened = destinationStream != nullptr;
    if (opened && fclose(destinationStream) != 0 && good)
        good = Fail(check, false, StreamError());
    destinationStream = nullptr;
    if (!good && opened)
        DeleteFileW(destinationPath);
    return good;
}
