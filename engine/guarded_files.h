// The installation's files, reached only as what they are named. Whoever may write the install
// folder (on a shared PC, anyone, for a game outside Program Files) can plant a symbolic link,
// a junction or a hard link there, and the updater, perhaps elevated, must not write, move,
// cut or delete through it what that person could not. So every file the pass touches below
// the install folder is opened once, checked on its handle, and changed through that handle.
#pragma once

#include "setup_engine.h"

// The answer for a name that is a link or lies behind one, or whose file has other names
// where a change would reach them: the system's "stopped on a symbolic link"
// (ERROR_STOPPED_ON_SYMLINK, which MinGW's headers lack).
constexpr DWORD ErrorLinked = 681;
// Access to ask for a folder that files are renamed into.
constexpr DWORD GuardedFolderAccess =
    FILE_TRAVERSE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr DWORD ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The install folder, opened once for the pass: not a link by name nor by handle, and what
// its parent names it. What lies below is checked against the name the system gives it here.
struct GuardedRoot {
    HANDLE handle = INVALID_HANDLE_VALUE;
    wchar_t path[ComposedPathCapacity] = {};      // as the system is given it
    wchar_t finalPath[ComposedPathCapacity] = {}; // as the system names what was opened

    GuardedRoot() = default;
    GuardedRoot(const GuardedRoot &) = delete;
    GuardedRoot &operator=(const GuardedRoot &) = delete;
    ~GuardedRoot() { Close(); }
    void Close();
};

// A file or folder below the install folder, checked as it was opened: the very name asked
// for (its final path is the install folder's and the name), not a reparse point that leads
// elsewhere, and with how many names (hard links) its file has.
struct GuardedFile {
    HANDLE handle = INVALID_HANDLE_VALUE;
    DWORD attributes = 0;
    DWORD links = 0; // more than one: the file is shared with a name elsewhere
    ULONGLONG size = 0;
    FILETIME written = {};

    GuardedFile() = default;
    GuardedFile(const GuardedFile &) = delete;
    GuardedFile &operator=(const GuardedFile &) = delete;
    ~GuardedFile() { Close(); }
    void Close();
};

// ERROR_SUCCESS, ErrorLinked, ERROR_PATH_NOT_FOUND when no folder is there (a file is none),
// or the system's error.
DWORD OpenGuardedRoot(GuardedRoot &root, const wchar_t *installFolder);

// name is a listed name in UTF-16 ("movie\\a.mpg"), suffix (if any) follows it. Both return
// ERROR_SUCCESS, ErrorLinked or the system's error; a link at the name whose target is missing
// is ErrorLinked too. Open takes what is there, file or folder, and follows no link of
// Windows; Wine follows every one, and the final path tells. FILE_READ_ATTRIBUTES, which the
// checks need, is added to the access; flags go to CreateFileW (FILE_FLAG_WRITE_THROUGH, say).
DWORD OpenGuarded(const GuardedRoot &root, const wchar_t *name, const wchar_t *suffix, DWORD access,
                  DWORD share, GuardedFile &file, DWORD flags = 0);
// A new file (CREATE_NEW): an existing name, link or not, is never opened for writing. No
// folder on the way may be a link, by name (all Wine shows) before and by handle after; a
// file that came out elsewhere is removed again. DELETE is added to the access.
DWORD CreateGuarded(const GuardedRoot &root, const wchar_t *name, const wchar_t *suffix,
                    DWORD access, DWORD share, GuardedFile &file, DWORD flags = 0);
// Whatever name holds goes, and nothing it leads to: a file (of one with other names, this name
// alone) or an empty folder on its handle; a link is renamed over by a new empty file, which
// goes as it is closed. A link beyond a linked folder stays. ERROR_SUCCESS when nothing is there
// any more.
DWORD RemoveGuarded(const GuardedRoot &root, const wchar_t *name, const wchar_t *suffix);

// Through the handle, never the name again. The name goes when the last handle closes; of a
// file with other names, only this one. The handle needs DELETE.
DWORD DeleteGuarded(GuardedFile &file);
// Into the folder of name, held as a handle of its own, so that a folder swapped for a link
// meanwhile cannot take the file elsewhere. With replace, a link at the new name is replaced
// itself, never its target. The handle needs DELETE.
DWORD RenameGuarded(const GuardedRoot &root, GuardedFile &file, const wchar_t *name,
                    const wchar_t *suffix, bool replace);
// These change the file itself, which every name of it shares: refused (ErrorLinked) while it
// has more than one. Attributes and times (null: unchanged) are set on what name holds, opened
// for them alone; cutting needs a handle with FILE_WRITE_DATA.
DWORD SetGuardedAttributes(const GuardedRoot &root, const wchar_t *name, DWORD attributes);
DWORD SetGuardedTimes(const GuardedRoot &root, const wchar_t *name, const FILETIME *created,
                      const FILETIME *accessed, const FILETIME *written);
DWORD CutGuarded(GuardedFile &file, ULONGLONG size);

// Puts name+replacementSuffix in place of name, which goes to name+keptSuffix, by ReplaceFileW
// (refused for an installed file with other names, as cutting it later would be).
DWORD ReplaceGuarded(const GuardedRoot &root, const wchar_t *name, const wchar_t *replacementSuffix,
                     const wchar_t *keptSuffix);
