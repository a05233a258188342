#include "guarded_files.h"

#include <stddef.h>
#include <string.h>
#include <winternl.h>

namespace {

// A link leads elsewhere by name: a symbolic link, a junction or a mount point (name
// surrogates). Wine shows a Unix link to a folder as a reparse point of tag 0, which no
// Windows reparse point has. Other tags (a file the system compressed or deduplicated, a cloud
// placeholder) keep their content in place and are no links.
bool IsLink(DWORD attributes, DWORD tag)
{
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
           (tag == 0 || IsReparseTagNameSurrogate(tag));
}

// What its folder's listing says of the last element of path, where Wine shows a link to a
// folder, and for a link whose target is missing fails with "no more files". longName, when
// given, gets the name as listed (not its short form).
bool LinkedByName(const wchar_t *path, wchar_t *longName = nullptr)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(path, &found);
    if (search == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_NO_MORE_FILES;
    FindClose(search);
    if (longName != nullptr)
        lstrcpynW(longName, found.cFileName, MAX_PATH);
    return IsLink(found.dwFileAttributes, found.dwReserved0);
}

// The folders name passes through below the root, by name. The root was so checked when it was
// opened; a root swapped since is caught on the handle of what was made.
bool LinkedOnTheWay(const GuardedRoot &root, const wchar_t *name)
{
    wchar_t folder[FileNameCapacity];
    for (const wchar_t *separator = wcschr(name, L'\\'); separator != nullptr;
         separator = wcschr(separator + 1, L'\\')) {
        wchar_t path[ComposedPathCapacity];
        lstrcpynW(folder, name, static_cast<int>(separator - name) + 1);
        if (!SystemPath(path, root.path, folder) || LinkedByName(path))
            return true;
    }
    return false;
}

typedef NTSTATUS(NTAPI *QueryObjectFunction)(HANDLE, OBJECT_INFORMATION_CLASS, PVOID, ULONG,
                                             PULONG);

// The name the system gives what a handle reaches (\\?\C:\..., whatever form it was opened
// by): only names from this one call are compared. Wine's call holds no more than MAX_PATH
// characters, so a deep installation's files are named there by ntdll's name of the handle,
// which Wine gives as \??\C:\... and Windows (whose call takes any length) as \Device\...,
// which matches nothing composed.
DWORD FinalPathOf(HANDLE handle, wchar_t *target)
{
    DWORD length = GetFinalPathNameByHandleW(handle, target, ComposedPathCapacity,
                                             FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length != 0)
        return length < ComposedPathCapacity ? ERROR_SUCCESS : ERROR_FILENAME_EXCED_RANGE;
    DWORD error = GetLastError();
    struct {
        OBJECT_NAME_INFORMATION header;
        wchar_t name[ComposedPathCapacity];
    } object;
    FARPROC found = SystemFunction("ntdll.dll", "NtQueryObject");
    if (found == nullptr ||
        reinterpret_cast<QueryObjectFunction>(reinterpret_cast<void (*)()>(found))(
            handle, ObjectNameInformation, &object, sizeof object, nullptr) != 0)
        return error;
    wchar_t *name = object.header.Name.Buffer;
    size_t count = object.header.Name.Length / sizeof(wchar_t);
    if (count < 4 || count >= ComposedPathCapacity || wcsncmp(name, L"\\??\\", 4) != 0)
        return error;
    name[1] = L'\\'; // \??\C:\... as \\?\C:\...
    lstrcpynW(target, name, static_cast<int>(count) + 1);
    return ERROR_SUCCESS;
}

bool SameName(const wchar_t *one, const wchar_t *other)
{
    return CompareStringOrdinal(one, -1, other, -1, TRUE) == CSTR_EQUAL;
}

// What was opened is what expected names, compared as Windows compares names. Opened through
// a link (which Wine follows whatever it is asked), it is the target's name.
bool NamedAs(HANDLE handle, const wchar_t *expected)
{
    wchar_t final[ComposedPathCapacity];
    return FinalPathOf(handle, final) == ERROR_SUCCESS && SameName(final, expected);
}

// The handle's own checks: not a link, the name expected (a final path; none for the install
// folder), how many names. Facts come class by class: GetFileInformationByHandle asks the
// volume for its serial number too, which takes Wine most of a millisecond.
DWORD Check(HANDLE handle, const wchar_t *expected, GuardedFile &file)
{
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    FILE_STANDARD_INFO standard = {};
    FILE_BASIC_INFO basic = {};
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) ||
        !GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard) ||
        !GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic))
        return GetLastError();
    if (IsLink(tag.FileAttributes, tag.ReparseTag) ||
        (expected != nullptr && !NamedAs(handle, expected)))
        return ErrorLinked;
    file.attributes = tag.FileAttributes;
    file.links = standard.NumberOfLinks;
    file.size = static_cast<ULONGLONG>(standard.EndOfFile.QuadPart);
    memcpy(&file.written, &basic.LastWriteTime, sizeof file.written);
    return ERROR_SUCCESS;
}

// The path to open, and what the system must call what it opens there.
bool Compose(const GuardedRoot &root, const wchar_t *name, const wchar_t *suffix, wchar_t *path,
             wchar_t *expected)
{
    return SystemPath(path, root.path, name, suffix) &&
           SystemPath(expected, root.finalPath, name, suffix);
}

DWORD MarkForDeletion(HANDLE handle)
{
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition)
               ? ERROR_SUCCESS
               : GetLastError();
}

// A change to the file itself reaches every name it has.
DWORD SoleName(const GuardedFile &file)
{
    FILE_STANDARD_INFO standard = {};
    if (!GetFileInformationByHandleEx(file.handle, FileStandardInfo, &standard, sizeof standard))
        return GetLastError();
    return standard.NumberOfLinks == 1 ? ERROR_SUCCESS : ErrorLinked;
}

// \\server or \\?\UNC\server: no folder.
bool ServerAlone(const wchar_t *path)
{
    const wchar_t *server = _wcsnicmp(path, L"\\\\?\\UNC\\", 8) == 0 ? path + 8 : path + 2;
    return path[0] == L'\\' && path[1] == L'\\' && wcschr(server, L'\\') == nullptr;
}

// The install folder as its parent names it: the same on Windows and under Wine, where a
// link to a folder shows on no handle. A drive's or share's root has no parent to ask.
DWORD CheckRootName(const GuardedRoot &root, const wchar_t *longName)
{
    wchar_t parent[ComposedPathCapacity];
    wchar_t expected[ComposedPathCapacity];
    if (longName[0] == L'\0' || !FolderOf(root.path, parent, ComposedPathCapacity) ||
        ServerAlone(parent))
        return ERROR_SUCCESS;
    size_t length = wcslen(parent);
    if (parent[length - 1] == L':') // a drive's root keeps its separator
        lstrcpynW(parent + length, L"\\", 2);
    HANDLE folder = CreateFileW(parent, FILE_READ_ATTRIBUTES, ShareAll, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE)
        return GetLastError();
    DWORD error = FinalPathOf(folder, parent);
    if (error == ERROR_SUCCESS &&
        (!SystemPath(expected, parent, longName) || !SameName(root.finalPath, expected)))
        error = ErrorLinked;
    CloseHandle(folder);
    return error;
}

// ntdll's, which every process has loaded: kernel32's form of a rename takes a path, which
// names its folder again, and Wine's refuses the folder's handle (error 87) and resolves a
// bare name against the current folder.
struct RenameInformation {
    BOOLEAN replaceIfExists;
    HANDLE rootDirectory;
    ULONG nameLength; // in bytes
    WCHAR name[FileNameCapacity + 16];
};

typedef NTSTATUS(NTAPI *SetInformationFileFunction)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG,
                                                    FILE_INFORMATION_CLASS);
typedef ULONG(NTAPI *StatusToErrorFunction)(NTSTATUS);

DWORD RenameInto(HANDLE file, HANDLE folder, const wchar_t *leaf, const wchar_t *suffix,
                 bool replace)
{
    FARPROC setFound = SystemFunction("ntdll.dll", "NtSetInformationFile");
    FARPROC errorFound = SystemFunction("ntdll.dll", "RtlNtStatusToDosError");
    if (setFound == nullptr || errorFound == nullptr)
        return ERROR_CALL_NOT_IMPLEMENTED;
    RenameInformation rename = {};
    rename.replaceIfExists = replace;
    rename.rootDirectory = folder;
    size_t leafLength = wcslen(leaf);
    size_t suffixLength = suffix != nullptr ? wcslen(suffix) : 0;
    if (leafLength + suffixLength >= sizeof rename.name / sizeof rename.name[0])
        return ERROR_FILENAME_EXCED_RANGE;
    memcpy(rename.name, leaf, leafLength * sizeof(wchar_t));
    memcpy(rename.name + leafLength, suffix, suffixLength * sizeof(wchar_t));
    rename.nameLength = static_cast<ULONG>((leafLength + suffixLength) * sizeof(wchar_t));
    IO_STATUS_BLOCK done = {};
    auto setInformation =
        reinterpret_cast<SetInformationFileFunction>(reinterpret_cast<void (*)()>(setFound));
    NTSTATUS status =
        setInformation(file, &done, &rename,
                       static_cast<ULONG>(offsetof(RenameInformation, name) + rename.nameLength),
                       FileRenameInformation);
    if (status == 0)
        return ERROR_SUCCESS;
    return reinterpret_cast<StatusToErrorFunction>(reinterpret_cast<void (*)()>(errorFound))(
        status);
}

} // namespace

static void Release(HANDLE &handle)
{
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
}

void GuardedRoot::Close()
{
    Release(handle);
}

void GuardedFile::Close()
{
    Release(handle);
}

DWORD OpenGuardedRoot(GuardedRoot &root, const wchar_t *installFolder)
{
    root.Close();
    if (!SystemPath(root.path, installFolder))
        return ERROR_FILENAME_EXCED_RANGE;
    wchar_t longName[MAX_PATH];
    longName[0] = L'\0';
    if (LinkedByName(root.path, longName))
        return ErrorLinked;
    HANDLE handle = CreateFileW(root.path, GuardedFolderAccess, ShareAll, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return SaysNotThere(error) ? static_cast<DWORD>(ERROR_PATH_NOT_FOUND) : error;
    }
    root.handle = handle; // closed again when a check fails
    GuardedFile facts;
    DWORD error = Check(handle, nullptr, facts);
    if (error == ERROR_SUCCESS && (facts.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        error = ERROR_PATH_NOT_FOUND;
    if (error == ERROR_SUCCESS && (error = FinalPathOf(handle, root.finalPath)) == ERROR_SUCCESS)
        error = CheckRootName(root, longName);
    if (error != ERROR_SUCCESS)
        root.Close();
    return error;
}

DWORD OpenGuarded(const GuardedRoot &root, const wchar_t *name, const wchar_t *suffix, DWORD access,
                  DWORD share, GuardedFile &file, DWORD flags)
{
    file.Close();
    wchar_t path[ComposedPathCapacity];
    wchar_t expected[ComposedPathCapacity];
    if (!Compose(root, name, suffix, path, expected))
        return ERROR_FILENAME_EXCED_RANGE;
    HANDLE handle =
        CreateFileW(path, access | FILE_READ_ATTRIBUTES, share, nullptr, OPEN_EXISTING,
                    flags | FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        // Wine's answer for a link whose target is missing; one asked for by its name tells.
        return error == ERROR_FILE_NOT_FOUND && LinkedByName(path) ? ErrorLinked : error;
    }
    DWORD error = Check(handle, expected, file);
    if (error == ERROR_SUCCESS)
        file.handle = handle;
    else
        CloseHandle(handle);
    return error;
}

DWORD CreateGuarded(const GuardedRoot &root, const wchar_t *name, const wchar_t *suffix,
                    DWORD access, DWORD share, GuardedFile &file, DWORD flags)
{
    file.Close();
    wchar_t path[ComposedPathCapacity];
    wchar_t expected[ComposedPathCapacity];
    if (!Compose(root, name, suffix, path, expected))
        return ERROR_FILENAME_EXCED_RANGE;
    if (LinkedOnTheWay(root, name))
        return ErrorLinked;
    HANDLE handle = CreateFileW(path, access | DELETE | FILE_READ_ATTRIBUTES, share, nullptr,
                                CREATE_NEW, flags | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)
            return error;
        // A link there is told as such; Wine shows one to a file only by its final path.
        GuardedFile there;
        DWORD found = OpenGuarded(root, name, suffix, FILE_READ_ATTRIBUTES, ShareAll, there);
        return found == ErrorLinked ? ErrorLinked : error;
    }
    DWORD error = Check(handle, expected, file);
    if (error == ERROR_SUCCESS) {
        file.handle = handle;
        return ERROR_SUCCESS;
    }
    // Made elsewhere after all (a folder swapped meanwhile): new, and so this pass's own.
    MarkForDeletion(handle);
    CloseHandle(handle);
    return error;
}

DWORD DeleteGuarded(GuardedFile &file)
{
    return MarkForDeletion(file.handle);
}

DWORD RemoveGuarded(const GuardedRoot &root, const wchar_t *name, const wchar_t *suffix)
{
    GuardedFile there;
    DWORD error = OpenGuarded(root, name, suffix, DELETE, ShareAll, there);
    if (error == ERROR_SUCCESS)
        return DeleteGuarded(there);
    if (error != ErrorLinked)
        return SaysNotThere(error) ? static_cast<DWORD>(ERROR_SUCCESS) : error;
    // Wine deletes what a link leads to, by name or on a handle; a rename over the link replaces
    // the link itself. The spare is refused beyond a linked folder, where nothing is the pass's.
    GuardedFile spare;
    error = CreateGuarded(root, name, L".qupdate-spare", 0, 0, spare, FILE_FLAG_DELETE_ON_CLOSE);
    if (error == ERROR_SUCCESS)
        error = RenameGuarded(root, spare, name, suffix, true);
    return error;
}

DWORD RenameGuarded(const GuardedRoot &root, GuardedFile &file, const wchar_t *name,
                    const wchar_t *suffix, bool replace)
{
    const wchar_t *separator = wcsrchr(name, L'\\');
    if (separator == nullptr)
        return RenameInto(file.handle, root.handle, name, suffix, replace);
    wchar_t folderName[FileNameCapacity];
    lstrcpynW(folderName, name, static_cast<int>(separator - name) + 1);
    GuardedFile folder;
    DWORD error = OpenGuarded(root, folderName, nullptr, GuardedFolderAccess, ShareAll, folder);
    if (error == ERROR_SUCCESS)
        error = RenameInto(file.handle, folder.handle, separator + 1, suffix, replace);
    return error;
}

// What name holds, opened to change its attributes or times, and the only name of its file.
// Wine opens a file for writing to change either, which a read-only one refuses a user without
// privileges, yet changes them on a handle of any access: it gets one without access then.
// Windows changes nothing on such a handle that the first open could not.
static DWORD OpenSoleName(const GuardedRoot &root, const wchar_t *name, GuardedFile &file)
{
    DWORD error = OpenGuarded(root, name, nullptr, FILE_WRITE_ATTRIBUTES, ShareAll, file);
    if (error == ERROR_ACCESS_DENIED)
        error = OpenGuarded(root, name, nullptr, 0, ShareAll, file);
    return error == ERROR_SUCCESS ? SoleName(file) : error;
}

DWORD SetGuardedAttributes(const GuardedRoot &root, const wchar_t *name, DWORD attributes)
{
    GuardedFile file;
    DWORD error = OpenSoleName(root, name, file);
    if (error != ERROR_SUCCESS)
        return error;
    // Those a program may set, as SetFileAttributesW takes them; times of zero stay as they are.
    const DWORD settable = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                           FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY |
                           FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    FILE_BASIC_INFO basic = {};
    basic.FileAttributes =
        (attributes & settable) != 0 ? attributes & settable : FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(file.handle, FileBasicInfo, &basic, sizeof basic)
               ? ERROR_SUCCESS
               : GetLastError();
}

DWORD SetGuardedTimes(const GuardedRoot &root, const wchar_t *name, const FILETIME *created,
                      const FILETIME *accessed, const FILETIME *written)
{
    GuardedFile file;
    DWORD error = OpenSoleName(root, name, file);
    if (error == ERROR_SUCCESS && !SetFileTime(file.handle, created, accessed, written))
        error = GetLastError();
    return error;
}

DWORD CutGuarded(GuardedFile &file, ULONGLONG size)
{
    DWORD error = SoleName(file);
    if (error != ERROR_SUCCESS)
        return error;
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(size);
    if (!SetFilePointerEx(file.handle, at, nullptr, FILE_BEGIN) || !SetEndOfFile(file.handle))
        return GetLastError();
    return ERROR_SUCCESS;
}

typedef NTSTATUS(NTAPI *QueryInformationFunction)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG,
                                                  FILE_INFORMATION_CLASS);

// Which file a handle reaches on its volume (0: unknown), as GetFileInformationByHandle gives it
// without the volume's serial, which Wine is slow to give and reads as 0 through a handle whose
// file was renamed elsewhere.
static ULONGLONG IndexOf(HANDLE handle)
{
    LARGE_INTEGER index = {};
    IO_STATUS_BLOCK done = {};
    FARPROC found = SystemFunction("ntdll.dll", "NtQueryInformationFile");
    if (found == nullptr ||
        reinterpret_cast<QueryInformationFunction>(reinterpret_cast<void (*)()>(found))(
            handle, &done, &index, sizeof index, FileInternalInformation) != 0)
        return 0;
    return static_cast<ULONGLONG>(index.QuadPart);
}

// Whether name (with suffix) now holds the file held, by its index on the install folder's
// volume, where both were checked to lie.
static bool Holds(const GuardedRoot &root, const wchar_t *name, const wchar_t *suffix,
                  const GuardedFile &held)
{
    GuardedFile now;
    ULONGLONG index = 0;
    return OpenGuarded(root, name, suffix, 0, ShareAll, now) == ERROR_SUCCESS &&
           (index = IndexOf(now.handle)) != 0 && index == IndexOf(held.handle);
}

// ReplaceFileW stays for putting a file in place: it keeps the replaced file's security and
// streams for the new one, which no rename does. It has no form on handles, so both files are
// checked just before on handles held across the call, and afterwards the kept name must hold
// the one and the installed name the other: the call acted on the files checked.
DWORD ReplaceGuarded(const GuardedRoot &root, const wchar_t *name, const wchar_t *replacementSuffix,
                     const wchar_t *keptSuffix)
{
    wchar_t installed[ComposedPathCapacity], replacement[ComposedPathCapacity],
        kept[ComposedPathCapacity];
    if (!SystemPath(installed, root.path, name) ||
        !SystemPath(replacement, root.path, name, replacementSuffix) ||
        !SystemPath(kept, root.path, name, keptSuffix))
        return ERROR_FILENAME_EXCED_RANGE;
    GuardedFile old, fresh;
    DWORD error = OpenGuarded(root, name, nullptr, FILE_READ_ATTRIBUTES, ShareAll, old);
    if (error == ERROR_SUCCESS)
        error = OpenGuarded(root, name, replacementSuffix, FILE_READ_ATTRIBUTES, ShareAll, fresh);
    if (error == ERROR_SUCCESS && old.links != 1)
        error = ErrorLinked;
    if (error == ERROR_SUCCESS && !ReplaceFileW(installed, replacement, kept,
                                                REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr))
        error = GetLastError();
    if (error == ERROR_SUCCESS &&
        (!Holds(root, name, keptSuffix, old) || !Holds(root, name, nullptr, fresh)))
        error = ErrorLinked;
    return error;
}
