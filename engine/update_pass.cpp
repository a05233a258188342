#include "setup_engine.h"

bool SetupEngine::LocateSourceRoot()
{
    DWORD length = GetModuleFileNameA(nullptr, sourceFolder, PathFieldCapacity);
    // A cut-off path would name some other folder.
    if (length == 0 || length >= PathFieldCapacity)
        return false;
    char *separator = FindLastSeparator(sourceFolder, false);
    if (separator == nullptr)
        return false;
    *separator = '\0';
    return true;
}

static void CopyTimestamps(HANDLE destination, HANDLE source)
{
    FILETIME created, accessed, written;
    GetFileTime(source, &created, &accessed, &written);
    SetFileTime(destination, &created, &accessed, &written);
}

// False when the pass must stop: a file the update carries could not be put in place.
bool SetupEngine::UpdateFile(const char *fileName)
{
    char sourcePath[ComposedPathCapacity];
    char destinationPath[ComposedPathCapacity];
    wsprintfA(sourcePath, "%s\\%s\\%s", sourceFolder, folderName, fileName);
    wsprintfA(destinationPath, "%s\\%s", installFolder, fileName);

    // Before the copy: a read-only, hidden or system file would refuse its new content.
    SetFileAttributesA(destinationPath, FILE_ATTRIBUTE_NORMAL);
    if (GetFileAttributesA(sourcePath) == INVALID_FILE_ATTRIBUTES)
        return true; // not carried by this update
    if (!CopyVerified(destinationPath, sourcePath))
        return false;

    HANDLE source = CreateFileA(sourcePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (source == INVALID_HANDLE_VALUE)
        return true;
    HANDLE destination = CreateFileA(destinationPath, GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
    if (destination == INVALID_HANDLE_VALUE) {
        CloseHandle(source);
        return false;
    }
    CopyTimestamps(destination, source);
    CloseHandle(source);
    CloseHandle(destination);
    return true;
}

bool SetupEngine::UpdateListedFiles(const FileList &list)
{
    for (char **entry = list.entries; (*entry)[0] != '\0'; ++entry) {
        if (!UpdateFile(*entry))
            return false;
    }
    return true;
}

// The main list first, then the extra list; names in both are handled twice.
bool SetupEngine::CopyUpdateFiles()
{
    return UpdateListedFiles(mainFiles) && UpdateListedFiles(extraFiles);
}

void SetupEngine::RunUpdate()
{
    if (!LocateSourceRoot())
        return;
    if (!CopyUpdateFiles())
        return; // something carried by the update is not in place: no completion
    MessageBoxA(ownerWindow, "アップデートが完了しました。", "終了", MB_OK | MB_ICONWARNING);
}
