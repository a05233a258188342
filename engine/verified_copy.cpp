#include "setup_engine.h"

#include <io.h>
#include <stdlib.h>
#include <share.h>
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

// The blocks go straight to the system (no stream buffer), through the stream's own handle:
// the runtime loses the system's error of a write to a full disk, which the user must hear
// about.
static bool Transfer(FILE *source, StagedWriter &writer)
{
    for (;;) {
        size_t got = fread(CopyBuffer, 1, CopyBlockSize, source);
        if (!writer.Put(CopyBuffer, static_cast<DWORD>(got)))
            return false;
        if (got < CopyBlockSize)
            return ferror(source) == 0 || Fail(*writer.check, true, StreamError());
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
    check.otherBase = false;
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
        StagedWriter writer = {HandleOf(destinationStream), check.bound != nullptr ? &sha : nullptr,
                               &check};
        good = Transfer(sourceStream, writer);
        if (good && (writer.written != expected ||
                     (check.bound != nullptr && !sha.Matches(check.bound->digest)))) {
            // A bound file is damaged; a plain one changed or was cut short while read.
            check.damaged = check.bound != nullptr;
            good = Fail(check, true, check.damaged ? ERROR_INVALID_DATA : ERROR_READ_FAULT);
        }
        good = good && FinishStaged(HandleOf(destinationStream), HandleOf(sourceStream), check);
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
