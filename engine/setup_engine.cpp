#include "setup_engine.h"

#include <stdlib.h>
#include <string.h>

SetupEngine Engine;

SetupEngine::SetupEngine()
    : mainFiles(), extraFiles(), folderName(), installFolder(), sourceFolder(), installType(0),
      ownerWindow(nullptr), registryKey(nullptr), installed(0)
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

DWORD ReadLittleEndian32(const BYTE *at)
{
    return at[0] | (at[1] << 8) | (at[2] << 16) | (static_cast<DWORD>(at[3]) << 24);
}

FARPROC SystemFunction(const char *module, const char *name)
{
    HMODULE loaded = GetModuleHandleA(module);
    return loaded != nullptr ? GetProcAddress(loaded, name) : nullptr;
}

// Appends text at length; false when target (ComposedPathCapacity) cannot hold it.
static bool AppendPath(wchar_t *target, size_t &length, const wchar_t *text)
{
    size_t more = text != nullptr ? static_cast<size_t>(lstrlenW(text)) : 0;
    if (length + more >= ComposedPathCapacity)
        return false;
    memcpy(target + length, text, more * sizeof(wchar_t));
    length += more;
    target[length] = L'\0';
    return true;
}

static const wchar_t ExtendedPrefix[] = L"\\\\?\\";
static const wchar_t ExtendedSharePrefix[] = L"\\\\?\\UNC\\";

bool SystemPath(wchar_t *target, const wchar_t *folder, const wchar_t *name, const wchar_t *suffix)
{
    // The folder is made whole as the system would make it (it holds the record's or the
    // exe's path, within the platform's limit); the listed names that follow need nothing of
    // the kind. The extended form would take "/", "." and ".." literally.
    wchar_t path[ComposedPathCapacity];
    size_t length = 0;
    target[0] = L'\0';
    if (wcsncmp(folder, ExtendedPrefix, 4) == 0) {
        if (!AppendPath(path, length, folder))
            return false;
    } else {
        DWORD full = GetFullPathNameW(folder, ComposedPathCapacity, path, nullptr);
        if (full == 0 || full >= ComposedPathCapacity)
            return false;
        length = full;
    }
    // A folder given with its closing separator (a drive's root, say) takes no second one.
    bool fits = name == nullptr || path[length - 1] == L'\\' || AppendPath(path, length, L"\\");
    if (!fits || !AppendPath(path, length, name) || !AppendPath(path, length, suffix))
        return false;
    size_t done = 0;
    bool held;
    bool prefixed = path[0] == L'\\' && path[1] == L'\\' && (path[2] == L'?' || path[2] == L'.');
    if (length < MAX_PATH || prefixed)
        held = AppendPath(target, done, path);
    else if (path[0] == L'\\' && path[1] == L'\\') // a share: \\server\share\...
        held = AppendPath(target, done, ExtendedSharePrefix) && AppendPath(target, done, path + 2);
    else
        held = AppendPath(target, done, ExtendedPrefix) && AppendPath(target, done, path);
    if (!held)
        target[0] = L'\0';
    return held;
}

bool SaysNotThere(DWORD error)
{
    // A drive or a share that is not there leaves nothing below it there either.
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
           error == ERROR_INVALID_DRIVE || error == ERROR_BAD_NETPATH ||
           error == ERROR_BAD_NET_NAME;
}

bool FolderOf(const wchar_t *path, wchar_t *folder, int capacity)
{
    lstrcpynW(folder, path, capacity);
    wchar_t *separator = wcsrchr(folder, L'\\');
    if (separator == nullptr)
        return false;
    *separator = L'\0';
    return true;
}

DWORD FolderState(const wchar_t *systemPath)
{
    DWORD attributes = GetFileAttributesW(systemPath);
    if (attributes != INVALID_FILE_ATTRIBUTES)
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? ERROR_SUCCESS : ERROR_PATH_NOT_FOUND;
    DWORD error = GetLastError();
    if (SaysNotThere(error))
        return ERROR_PATH_NOT_FOUND;
    return error != ERROR_SUCCESS ? error : static_cast<DWORD>(ERROR_BAD_PATHNAME);
}

bool WideDisplayName(wchar_t *target, int capacity, const char *listedName)
{
    int length = MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, listedName, -1, target, capacity);
    if (length == 0) {
        target[0] = L'\0';
        return false;
    }
    for (wchar_t *p = target; *p != L'\0'; ++p) {
        if (*p == L'/')
            *p = L'\\';
    }
    return true;
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
