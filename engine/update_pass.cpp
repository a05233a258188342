// The update pass: nothing in the installation changes until the whole update is known to
// go in. It checks first, stages every new file beside its destination, and only then puts
// the staged files in place by renames, keeping each replaced file aside until the end, so
// that a stop at any point can put the installation back as it was.
#include "setup_engine.h"

#include <stdlib.h>
#include <string.h>

const wchar_t StagedSuffix[] = L".qupdate-new";
const wchar_t AsideSuffix[] = L".qupdate-old";

// A virus scanner or an indexer holds a freshly written file for a moment: such a hold is
// waited out quietly before the user is asked.
enum : DWORD {
    PatientTries = 10,
    PatientInterval = 500,
};

// Room per file beyond its size: the last cluster, whatever the volume's cluster size.
enum : ULONGLONG {
    ClusterAllowance = 64u * 1024,
};

bool SetupEngine::LocateSourceRoot()
{
    DWORD length = GetModuleFileNameW(nullptr, sourceFolder, PathFieldCapacity);
    // A cut-off path would name some other folder.
    if (length == 0 || length >= PathFieldCapacity)
        return false;
    wchar_t *separator = wcsrchr(sourceFolder, L'\\');
    if (separator == nullptr)
        return false;
    *separator = L'\0';
    return true;
}

namespace {

struct PassItem {
    const char *name;               // the listed name; names in both lists have one item
    wchar_t path[FileNameCapacity]; // the same in UTF-16, as it goes into paths
    const BoundFile *bound;         // its entry in the bound list, if any
    bool carried;                   // the update brings a new version
    bool hadOld;                    // an installed file was there to replace
    bool reset;                     // its attributes were reset; oldAttributes holds them
    bool staged;                    // the new content waits beside the destination
    bool replaced;                  // in place; the old content is aside
    bool asideLeft;                 // a failed replacement's aside name could not be removed yet
    DWORD oldAttributes;
    ULONGLONG size;
    FILETIME created;
};

// Replacing a file that another program has open is refused as access denied on Windows,
// the same answer an unprivileged user gets. An open that wants the file to itself tells
// them apart: it meets a sharing violation only when someone else holds the file.
bool HeldByAnother(const wchar_t *path)
{
    HANDLE file =
        CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        return false;
    }
    DWORD error = GetLastError();
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

bool Exists(const wchar_t *path)
{
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

// Explorer runs an exe inside a zip by extracting it alone into a folder such as
// "Temp1_update.zip" under the temporary folder.
bool ExtractedAlone(const wchar_t *folder)
{
    const wchar_t *separator = wcsrchr(folder, L'\\');
    const wchar_t *last = separator != nullptr ? separator + 1 : folder;
    if (_wcsnicmp(last, L"Temp", 4) != 0 || last[4] < L'0' || last[4] > L'9')
        return false;
    const wchar_t *rest = last + 4;
    while (*rest >= L'0' && *rest <= L'9')
        ++rest;
    return *rest == L'_';
}

struct UpdatePass {
    SetupEngine &engine;
    const PassView &view;
    PassItem *items;
    DWORD count;
    BoundFile *boundFiles;
    DWORD boundCount;
    PassProgress progress;
    PassReport report;
    wchar_t updateFolder[ComposedPathCapacity]; // the product folder beside the tool
    wchar_t source[ComposedPathCapacity];
    wchar_t destination[ComposedPathCapacity];
    wchar_t staged[ComposedPathCapacity];
    wchar_t aside[ComposedPathCapacity];

    UpdatePass(SetupEngine &owner, const PassView &shownBy)
        : engine(owner), view(shownBy), items(nullptr), count(0), boundFiles(nullptr),
          boundCount(0), progress(), report(), updateFolder(), source(), destination(), staged(),
          aside()
    {
        report.unchanged = true;
    }
    ~UpdatePass()
    {
        free(items);
        free(boundFiles);
    }

    // Every path of the pass. Plan checks once that each item's paths fit; they stay the same.
    bool Compose(const PassItem &item)
    {
        return SystemPath(source, updateFolder, item.path) &&
               SystemPath(destination, engine.installFolder, item.path) &&
               SystemPath(staged, engine.installFolder, item.path, StagedSuffix) &&
               SystemPath(aside, engine.installFolder, item.path, AsideSuffix);
    }

    bool Stop(PassStop stop, const char *name, DWORD error)
    {
        report.stop = stop;
        report.name = name;
        report.error = error;
        return false;
    }

    // A failed step on an installed or staged file, sorted by what the user can do.
    bool Failed(const PassItem &item, const wchar_t *path, DWORD error)
    {
        PassStop stop = StopOther;
        if (DestinationFolderState() == ERROR_PATH_NOT_FOUND)
            stop = StopFolderMissing;
        else if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION)
            stop = StopInUse;
        else if (error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL)
            stop = StopDiskFull;
        else if (error == ERROR_ACCESS_DENIED)
            stop = HeldByAnother(path) ? StopInUse : StopAccessDenied;
        return Stop(stop, item.name, error);
    }

    // Of the destination in hand.
    DWORD DestinationFolderState()
    {
        wchar_t folder[ComposedPathCapacity];
        if (!FolderOf(destination, folder, ComposedPathCapacity))
            return ERROR_INVALID_NAME;
        return FolderState(folder);
    }

    typedef bool (UpdatePass::*Step)(PassItem &item);

    // A hold by another program is waited out quietly, then the user is asked, and a Retry
    // gets the same patience. False with the report filled when the pass must stop.
    bool Patiently(Step step, PassItem &item)
    {
        DWORD tries = 1;
        while (!(this->*step)(item)) {
            bool held = report.stop == StopInUse || report.stop == StopAccessDenied;
            if (held && tries < PatientTries) {
                ++tries;
                view.pause(view.context, PatientInterval);
                continue;
            }
            if (report.stop != StopInUse || !Ask())
                return false;
            tries = 1;
        }
        report.stop = StopNone;
        return true;
    }

    // True on Retry.
    bool Ask()
    {
        report.question = true;
        bool retry = view.stopped(view.context, report);
        report.question = false;
        report.asked = !retry;
        return retry;
    }

    bool Plan(const void *manifest, DWORD manifestSize)
    {
        wchar_t folderName[PathFieldCapacity];
        if (!WideDisplayName(folderName, PathFieldCapacity, engine.folderName))
            return Stop(StopOther, engine.folderName, ERROR_NO_UNICODE_TRANSLATION);
        if (!SystemPath(updateFolder, engine.sourceFolder, folderName))
            return Stop(StopOther, engine.folderName, ERROR_FILENAME_EXCED_RANGE);
        DWORD listed = 0;
        const FileList *lists[] = {&engine.mainFiles, &engine.extraFiles};
        for (const FileList *list : lists) {
            for (char **entry = list->entries; (*entry)[0] != '\0'; ++entry)
                ++listed;
        }
        items = static_cast<PassItem *>(calloc(listed + 1, sizeof(PassItem)));
        if (items == nullptr)
            FatalError();
        for (const FileList *list : lists) {
            for (char **entry = list->entries; (*entry)[0] != '\0'; ++entry) {
                if (Find(*entry) != nullptr)
                    continue;
                PassItem &item = items[count++];
                item.name = *entry;
                if (!WideDisplayName(item.path, FileNameCapacity, item.name))
                    return Stop(StopOther, item.name, ERROR_NO_UNICODE_TRANSLATION);
                if (!Compose(item))
                    return Stop(StopOther, item.name, ERROR_FILENAME_EXCED_RANGE);
            }
        }
        if (manifest == nullptr)
            return true;
        if (!ParseBoundManifest(manifest, manifestSize, &boundFiles, &boundCount))
            return Stop(StopManifestDamaged, nullptr, ERROR_INVALID_DATA);
        for (DWORD i = 0; i < boundCount; ++i) {
            PassItem *item = Find(boundFiles[i].name);
            // Only what the lists name may go into the installation.
            if (item == nullptr)
                return Stop(StopManifestDamaged, nullptr, ERROR_INVALID_DATA);
            item->bound = &boundFiles[i];
        }
        return true;
    }

    PassItem *Find(const char *name)
    {
        for (DWORD i = 0; i < count; ++i) {
            if (strcmp(items[i].name, name) == 0)
                return &items[i];
        }
        return nullptr;
    }

    // Left by a pass that was ended part-way (a kill, a crash, a power cut): every installed
    // file is then the old or the new one, and what remains of the pass is its own.
    void RemoveLeftovers()
    {
        for (DWORD i = 0; i < count; ++i) {
            Compose(items[i]);
            DeleteFileW(staged);
            if (Exists(aside) && !Exists(destination))
                MoveFileExW(aside, destination, MOVEFILE_WRITE_THROUGH);
            else
                DeleteFileW(aside);
        }
    }

    // The update must be there whole: a bound update every file of its list, with its size;
    // a plain one at least one listed file in its folder.
    bool CheckUpdatePresent()
    {
        report.fromArchive = ExtractedAlone(engine.sourceFolder);
        DWORD state = FolderState(updateFolder);
        if (state == ERROR_PATH_NOT_FOUND)
            return Stop(StopUpdateMissing, engine.folderName, state);
        if (state != ERROR_SUCCESS)
            return Stop(StopOther, nullptr, state);
        for (DWORD i = 0; i < count; ++i) {
            PassItem &item = items[i];
            Compose(item);
            WIN32_FILE_ATTRIBUTE_DATA data;
            bool found = GetFileAttributesExW(source, GetFileExInfoStandard, &data) != 0;
            DWORD error = found ? ERROR_SUCCESS : GetLastError();
            // Only what the system says is not there is absent; a path it cannot take is told.
            if (!found && !SaysNotThere(error))
                return Stop(StopOther, item.name, error);
            bool present = found && (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
            ULONGLONG size =
                present ? (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow
                        : 0;
            if (item.bound != nullptr && (!present || size != item.bound->size))
                return Stop(StopFileMissing, item.name, ERROR_FILE_NOT_FOUND);
            item.carried = boundFiles != nullptr ? item.bound != nullptr : present;
            if (!item.carried)
                continue;
            item.size = size;
            ++progress.files;
            progress.bytes += size;
        }
        if (progress.files == 0)
            return Stop(StopUpdateMissing, engine.folderName, ERROR_FILE_NOT_FOUND);
        return true;
    }

    bool CheckInstallation()
    {
        wchar_t root[ComposedPathCapacity];
        if (!SystemPath(root, engine.installFolder))
            return Stop(StopOther, nullptr, ERROR_FILENAME_EXCED_RANGE);
        DWORD state = FolderState(root);
        if (state == ERROR_PATH_NOT_FOUND)
            return Stop(StopInstallMissing, nullptr, state);
        if (state != ERROR_SUCCESS)
            return Stop(StopOther, nullptr, state);
        ULONGLONG needed = 0;
        for (DWORD i = 0; i < count; ++i) {
            PassItem &item = items[i];
            if (!item.carried)
                continue;
            Compose(item);
            state = DestinationFolderState();
            if (state != ERROR_SUCCESS)
                return Stop(state == ERROR_PATH_NOT_FOUND ? StopFolderMissing : StopOther,
                            item.name, state);
            item.hadOld = Exists(destination);
            needed += item.size + ClusterAllowance;
        }
        // Every new file is staged while the old ones are still there. A share is asked with
        // its closing backslash; a folder of the platform's full length, without.
        ULARGE_INTEGER available = {};
        bool known = (SystemPath(root, engine.installFolder, L"") &&
                      GetDiskFreeSpaceExW(root, &available, nullptr, nullptr)) ||
                     (SystemPath(root, engine.installFolder) &&
                      GetDiskFreeSpaceExW(root, &available, nullptr, nullptr));
        if (known && available.QuadPart < needed) {
            report.bytesNeeded = needed;
            report.bytesFree = available.QuadPart;
            return Stop(StopDiskFull, nullptr, ERROR_DISK_FULL);
        }
        for (DWORD i = 0; i < count; ++i) {
            if (items[i].carried && items[i].hadOld && !Patiently(&UpdatePass::CheckFree, items[i]))
                return false;
        }
        return true;
    }

    bool CheckFree(PassItem &item)
    {
        Compose(item);
        return !HeldByAnother(destination) || Stop(StopInUse, item.name, ERROR_SHARING_VIOLATION);
    }

    bool StageAll()
    {
        for (DWORD i = 0; i < count; ++i) {
            if (items[i].carried) {
                ++progress.fileNumber;
                if (!Patiently(&UpdatePass::Stage, items[i]))
                    return false;
            }
        }
        return true;
    }

    bool Stage(PassItem &item)
    {
        Compose(item);
        progress.name = item.name;
        // Named while a hold on it is waited out, before any of its bytes moved.
        view.progress(view.context, progress);
        ULONGLONG before = progress.bytesDone;
        CopyCheck check = {};
        check.bound = item.bound;
        check.view = &view;
        check.progress = &progress;
        if (!engine.CopyVerified(staged, source, check)) {
            progress.bytesDone = before; // a retry counts the file afresh
            if (check.damaged)
                return Stop(StopFileDamaged, item.name, check.error);
            return Failed(item, check.failedOnSource ? source : staged, check.error);
        }
        item.created = check.created;
        item.staged = true;
        return true;
    }

    // Renames only: milliseconds for the whole update. Every listed file loses the attributes
    // that would refuse a later overwrite, whether or not this update carries it.
    bool Commit()
    {
        for (DWORD i = 0; i < count; ++i) {
            PassItem &item = items[i];
            Compose(item);
            item.oldAttributes = GetFileAttributesW(destination);
            if (item.oldAttributes != INVALID_FILE_ATTRIBUTES) {
                item.reset = true;
                SetFileAttributesW(destination, FILE_ATTRIBUTE_NORMAL);
            }
            if (item.carried && !Patiently(&UpdatePass::Replace, item))
                return false;
            view.progress(view.context, progress); // renames can take a while on a busy disk
        }
        return true;
    }

    // The old file stays reachable aside under a second name (a hard link, or a copy where
    // the volume has none), so that the rename that replaces it is the only change and can
    // be undone.
    bool Replace(PassItem &item)
    {
        Compose(item);
        if (item.hadOld) {
            // A second name of a file that another program holds could not be removed again
            // until it lets go: the hold is found first, before the link is made.
            HANDLE probe = CreateFileW(destination, DELETE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (probe == INVALID_HANDLE_VALUE)
                return Failed(item, destination, GetLastError());
            CloseHandle(probe);
            DeleteFileW(aside);
            if (!CreateHardLinkW(aside, destination, nullptr) &&
                !CopyFileW(destination, aside, FALSE))
                return Failed(item, destination, GetLastError());
        }
        if (!MoveFileExW(staged, destination, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            DWORD error = GetLastError();
            item.asideLeft = item.hadOld && !DeleteFileW(aside);
            return Failed(item, destination, error);
        }
        item.staged = false;
        item.replaced = true;
        return true;
    }

    void Finish()
    {
        for (DWORD i = 0; i < count; ++i) {
            PassItem &item = items[i];
            if (!item.replaced)
                continue;
            Compose(item);
            // A file created under the name of one just removed takes over its creation time
            // (NTFS tunnelling), so the new one's is given again once it is in place.
            HANDLE file = CreateFileW(destination, FILE_WRITE_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (file != INVALID_HANDLE_VALUE) {
                SetFileTime(file, &item.created, nullptr, nullptr);
                CloseHandle(file);
            }
            if (item.hadOld)
                DeleteFileW(aside);
            // Removing the last name of a large old file frees its blocks there and then.
            view.progress(view.context, progress);
        }
    }

    bool PutBack(const PassItem &item)
    {
        for (DWORD tries = 1;; ++tries) {
            bool done = item.hadOld
                            ? MoveFileExW(aside, destination,
                                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
                            : DeleteFileW(destination);
            if (done || tries >= PatientTries)
                return done;
            view.pause(view.context, PatientInterval);
        }
    }

    // After a stop: what was replaced goes back, newest first, with its attributes, and the
    // staged files go.
    void Undo()
    {
        for (DWORD i = count; i-- > 0;) {
            PassItem &item = items[i];
            Compose(item);
            if (item.replaced && !PutBack(item))
                report.unchanged = false;
            if (item.reset)
                SetFileAttributesW(destination, item.oldAttributes);
            if (item.staged)
                DeleteFileW(staged);
            if (item.asideLeft)
                DeleteFileW(aside);
        }
    }
};

} // namespace

bool SetupEngine::UpdateInstallation(const PassView &view, const void *manifest, DWORD manifestSize)
{
    UpdatePass pass(*this, view);
    bool done = pass.Plan(manifest, manifestSize);
    if (done) {
        pass.RemoveLeftovers();
        done = pass.CheckUpdatePresent() && pass.CheckInstallation() && pass.StageAll() &&
               pass.Commit();
    }
    if (done) {
        pass.Finish();
        view.completed(view.context);
        return true;
    }
    pass.Undo();
    // A Cancel on a file in use was already the user's word, unless putting back failed.
    if (!pass.report.asked || !pass.report.unchanged)
        view.stopped(view.context, pass.report);
    return false;
}

// Writes into the install folder must land there: a 32-bit program without an execution
// level is otherwise redirected into the VirtualStore where installer detection is off. With
// virtualization off, a denied write is told as such before anything changed.
static void KeepWritesInPlace()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_DEFAULT | TOKEN_QUERY, &token))
        return;
    DWORD enabled = 0;
    SetTokenInformation(token, TokenVirtualizationEnabled, &enabled, sizeof enabled);
    CloseHandle(token);
}

void SetupEngine::RunUpdate(const PassView &view)
{
    const void *manifest = nullptr;
    DWORD manifestSize = 0;
    FindBoundManifest(&manifest, &manifestSize);
    KeepWritesInPlace();
    if (!LocateSourceRoot()) {
        // Only a loader that ignores the platform's limit starts an exe from such a folder.
        PassReport report = {};
        report.stop = StopOther;
        report.error = ERROR_FILENAME_EXCED_RANGE;
        report.unchanged = true;
        view.stopped(view.context, report);
        return;
    }
    UpdateInstallation(view, manifest, manifestSize);
}
