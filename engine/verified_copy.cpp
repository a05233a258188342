#include "setup_engine.h"

#include <io.h>
#include <share.h>
#include <stdlib.h>
#include <string.h>

unsigned char CopyBuffer[CopyBlockSize];

// Shared with readers: a virus scanner or file browser that merely has the new file open
// must not make its copy look bad. A writer still keeps it from being measured.
DWORD FileSizeOf(const char *path)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    DWORD size = GetFileSize(file, nullptr);
    CloseHandle(file);
    return size;
}

// The new content is written beside the installed file, in its own folder, so that the
// final replacement is a rename on one volume.
static bool CreateTemporaryBeside(const char *destinationPath, char *temporaryPath)
{
    char folder[ComposedPathCapacity];
    if (FolderOf(destinationPath, folder) == nullptr)
        return false;
    return GetTempFileNameA(folder, "qup", 0, temporaryPath) != 0;
}

static bool SizesMatch(const char *sourcePath, const char *copyPath)
{
    return FileSizeOf(sourcePath) == FileSizeOf(copyPath);
}

static DWORD SizeOfStream(FILE *stream)
{
    return GetFileSize(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))), nullptr);
}

// Records why the file could not be put in place, for the message the pass shows.
bool SetupEngine::Fail(bool onSource, DWORD error)
{
    failedOnSource = onSource;
    failureError = error;
    return false;
}

// True only when every block was read and written in full. The blocks go straight to the
// system (no stream buffer), and between them the window is let answer.
bool SetupEngine::TransferSourceToDestination()
{
    for (;;) {
        size_t got = fread(CopyBuffer, 1, CopyBlockSize, sourceStream);
        if (fwrite(CopyBuffer, 1, got, destinationStream) != got)
            return Fail(false, _doserrno);
        bytesCopied += got;
        if (got < CopyBlockSize) {
            if (ferror(sourceStream) != 0)
                return Fail(true, _doserrno);
            return true;
        }
        ProcessMessagesIfDue();
    }
}

void SetupEngine::CloseCopyStreams()
{
    if (sourceStream != nullptr)
        fclose(sourceStream);
    sourceStream = nullptr;
    if (destinationStream != nullptr)
        fclose(destinationStream);
    destinationStream = nullptr;
}

// The installed file is replaced only by a verified copy, in one step, so a copy that
// fails part-way (a full disk, a locked file) leaves the user's file as it was. On failure
// the system's error of the failing step is kept (Fail) before any clean-up can change it.
bool SetupEngine::CopyVerified(const char *destinationPath, const char *sourcePath)
{
    failedOnSource = false;
    sourceStream = _fsopen(sourcePath, "rb", _SH_DENYWR);
    if (sourceStream == nullptr)
        return Fail(true, _doserrno);
    char temporaryPath[ComposedPathCapacity];
    if (!CreateTemporaryBeside(destinationPath, temporaryPath)) {
        Fail(false, GetLastError());
        CloseCopyStreams();
        return false;
    }
    destinationStream = _fsopen(temporaryPath, "wb", _SH_DENYRW);
    if (destinationStream == nullptr) {
        Fail(false, _doserrno);
        CloseCopyStreams();
        DeleteFileA(temporaryPath);
        return false;
    }
    setvbuf(sourceStream, nullptr, _IONBF, 0);
    setvbuf(destinationStream, nullptr, _IONBF, 0);

    ULONGLONG bytesBefore = bytesCopied;
    DWORD sourceSize = SizeOfStream(sourceStream);
    bool good = TransferSourceToDestination();
    // Measured on the open streams: what was read against what reached the file.
    good = good && SizeOfStream(destinationStream) == sourceSize;
    fclose(sourceStream);
    sourceStream = nullptr;
    if (fclose(destinationStream) != 0 && good)
        good = Fail(false, _doserrno);
    destinationStream = nullptr;

    if (!good) {
        bytesCopied = bytesBefore;
        // A source that could not be read stays the one the message names.
        if (!CopyFileA(sourcePath, temporaryPath, FALSE))
            Fail(failedOnSource, GetLastError());
        else if (SizesMatch(sourcePath, temporaryPath))
            good = true;
        else
            Fail(false, ERROR_WRITE_FAULT);
        if (good)
            bytesCopied = bytesBefore + sourceSize;
    }
    if (good && !MoveFileExA(temporaryPath, destinationPath, MOVEFILE_REPLACE_EXISTING))
        good = Fail(false, GetLastError());
    if (!good)
        DeleteFileA(temporaryPath);
    return good;
}
