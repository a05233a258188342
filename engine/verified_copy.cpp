#include "setup_engine.h"

#include <share.h>
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
    CopyBounded(folder, sizeof folder, destinationPath);
    char *separator = FindLastSeparator(folder, true);
    if (separator == nullptr)
        return false;
    *separator = '\0';
    return GetTempFileNameA(folder, "qup", 0, temporaryPath) != 0;
}

static bool SizesMatch(const char *sourcePath, const char *copyPath)
{
    return FileSizeOf(sourcePath) == FileSizeOf(copyPath);
}

// True only when every block was read and written in full.
bool SetupEngine::TransferSourceToDestination()
{
    for (;;) {
        size_t got = fread(CopyBuffer, 1, CopyBlockSize, sourceStream);
        if (fwrite(CopyBuffer, 1, got, destinationStream) != got)
            return false;
        if (got < CopyBlockSize)
            return ferror(sourceStream) == 0;
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
// fails part-way (a full disk, a locked file) leaves the user's file as it was.
bool SetupEngine::CopyVerified(const char *destinationPath, const char *sourcePath)
{
    sourceStream = _fsopen(sourcePath, "rb", _SH_DENYWR);
    if (sourceStream == nullptr)
        return false;
    char temporaryPath[ComposedPathCapacity];
    if (!CreateTemporaryBeside(destinationPath, temporaryPath)) {
        CloseCopyStreams();
        return false;
    }
    destinationStream = _fsopen(temporaryPath, "wb", _SH_DENYRW);
    if (destinationStream == nullptr) {
        CloseCopyStreams();
        DeleteFileA(temporaryPath);
        return false;
    }

    bool good = TransferSourceToDestination();
    fclose(sourceStream);
    sourceStream = nullptr;
    if (fclose(destinationStream) != 0)
        good = false;
    destinationStream = nullptr;
    good = good && SizesMatch(sourcePath, temporaryPath);

    if (!good)
        good = CopyFileA(sourcePath, temporaryPath, FALSE) && SizesMatch(sourcePath, temporaryPath);
    if (good)
        good = MoveFileExA(temporaryPath, destinationPath, MOVEFILE_REPLACE_EXISTING) != 0;
    if (!good)
        DeleteFileA(temporaryPath);
    return good;
}
