#include "setup_engine.h"

#include <stdlib.h>
#include <string.h>

SetupEngine Engine;

SetupEngine::SetupEngine()
    : mainFiles(), extraFiles(), folderName(), installFolder(), sourceFolder(), installType(0),
      sourceStream(nullptr), destinationStream(nullptr), ownerWindow(nullptr), registryKey(nullptr),
      installed(0)
{
}

SetupEngine::~SetupEngine()
{
    Teardown();
}

void SetupEngine::Init(const char *const *mainFileNames, const char *const *extraFileNames,
                       HWND owner, const char *productFolderName)
{
    ownerWindow = owner;
    CopyFileList(mainFiles, mainFileNames);
    CopyFileList(extraFiles, extraFileNames);
    CopyBounded(folderName, sizeof folderName, productFolderName);
    installed = 0;
    if (ReadInstallRecord())
        installed = 1;
}

void SetupEngine::Teardown()
{
    ReleaseFileList(mainFiles);
    ReleaseFileList(extraFiles);
    CloseRecordKey();
}

[[noreturn]] void FatalError()
{
    // At once: no exit-time handler may run on a half-built engine.
    TerminateProcess(GetCurrentProcess(), FatalExitCode);
    ExitProcess(FatalExitCode);
}

void CopyBounded(char *target, size_t capacity, const char *text)
{
    size_t length = strlen(text);
    if (length >= capacity)
        FatalError();
    memcpy(target, text, length + 1);
}

static void *AllocateZeroed(size_t size)
{
    void *block = calloc(1, size);
    if (block == nullptr)
        FatalError();
    return block;
}

void CopyFileList(FileList &list, const char *const *names)
{
    ReleaseFileList(list);
    size_t count = 0;
    while (names[count] != nullptr)
        ++count;
    list.entries = static_cast<char **>(AllocateZeroed((count + 1) * sizeof(char *)));
    for (size_t i = 0; i <= count; ++i) {
        list.entries[i] = static_cast<char *>(AllocateZeroed(FileNameCapacity));
        if (names[i] == nullptr)
            break;
        CopyBounded(list.entries[i], FileNameCapacity, names[i]);
    }
}

void ReleaseFileList(FileList &list)
{
    if (list.entries == nullptr)
        return;
    for (char **entry = list.entries;; ++entry) {
        bool last = (*entry)[0] == '\0';
        free(*entry);
        if (last)
            break;
    }
    free(list.entries);
    list.entries = nullptr;
}

const char *FolderOf(const char *path, char *folder)
{
    CopyBounded(folder, ComposedPathCapacity, path);
    char *separator = FindLastSeparator(folder, true);
    if (separator == nullptr)
        return nullptr;
    *separator = '\0';
    return folder;
}

bool IsFolder(const char *path)
{
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

FARPROC SystemFunction(const char *module, const char *name)
{
    HMODULE loaded = GetModuleHandleA(module);
    return loaded != nullptr ? GetProcAddress(loaded, name) : nullptr;
}

char *FindLastSeparator(char *path, bool forwardSlashToo)
{
    char *last = nullptr;
    for (char *p = path; *p != '\0'; p = CharNextA(p)) {
        if (*p == '\\' || (forwardSlashToo && *p == '/'))
            last = p;
    }
    return last;
}

void DisplayName(char *target, size_t capacity, const char *listedName)
{
    CopyBounded(target, capacity, listedName);
    // '/' is never a CP932 trail byte, but the walk keeps to characters all the same.
    for (char *p = target; *p != '\0'; p = CharNextA(p)) {
        if (*p == '/')
            *p = '\\';
    }
}

void FormatGrouped(char *target, ULONGLONG value)
{
    char digits[32];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    char *out = target;
    for (int i = count - 1; i >= 0; --i) {
        *out++ = digits[i];
        if (i > 0 && i % 3 == 0)
            *out++ = ',';
    }
    *out = '\0';
}
