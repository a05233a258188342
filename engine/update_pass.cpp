// The update pass: nothing in the installation changes until the whole update is known to
// go in. It checks first, stages every new file beside its destination, and only then puts
// the staged files in place by renames, keeping each replaced file aside until the end, so
// that a stop at any point can put the installation back as it was.
#include "setup_engine.h"

#include <stdlib.h>
#include <string.h>

const char StagedSuffix[] = ".qupdate-new";
const char AsideSuffix[] = ".qupdate-old";

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

namespace {

struct PassItem {
    const char *name;       // the listed name; names in both lists have one item
    const BoundFile *bound; // its entry in the bound list, if any
    bool carried;           // the update brings a new version
    bool hadOld;            // an installed file was there to replace
    bool reset;             // its attributes were reset; oldAttributes holds them
    bool staged;            // the new content waits beside the destination
    bool replaced;          // in place; the old content is aside
    bool asideLeft;         // a failed replacement's aside name could not be removed yet
    DWORD oldAttributes;
    ULONGLONG size;
    FILETIME created;
};

// Replacing a file that another program has open is refused as access denied on Windows,
// the same answer an unprivileged user gets. An open that wants the file to itself tells
// them apart: it meets a sharing violation only when someone else holds the file.
bool HeldByAnother(const char *path)
{
    HANDLE file =
        CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        return false;
    }
    DWORD error = GetLastError();
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

bool Exists(const char *path)
{
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

// Explorer runs an exe inside a zip by extracting it alone into a folder such as
// "Temp1_update.zip" under the temporary folder.
bool ExtractedAlone(const char *folder)
{
    char copy[ComposedPathCapacity];
    CopyBounded(copy, sizeof copy, folder);
    char *separator = FindLastSeparator(copy, false);
    const char *last = separator != nullptr ? separator + 1 : copy;
    if (_strnicmp(last, "Temp", 4) != 0 || last[4] < '0' || last[4] > '9')
        return false;
    const char *rest = last + 4;
    while (*rest >= '0' && *rest <= '9')
        ++rest;
    return *rest == '_';
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
    char source[ComposedPathCapacity];
    char destination[ComposedPathCapacity];
    char staged[ComposedPathCapacity];
    char aside[ComposedPathCapacity];

    UpdatePass(SetupEngine &owner, const PassView &shownBy)
        : engine(owner), view(shownBy), items(nullptr), count(0), boundFiles(nullptr),
          boundCount(0), progress(), report(), source(), destination(), staged(), aside()
    {
        report.unchanged = true;
    }
    ~UpdatePass()
    {
        free(items);
        free(boundFiles);
    }

    void Compose(const char *name)
    {
        wsprintfA(source, "%s\\%s\\%s", engine.sourceFolder, engine.folderName, name);
        wsprintfA(destination, "%s\\%s", engine.installFolder, name);
        wsprintfA(staged, "%s%s", destination, StagedSuffix);
        wsprintfA(aside, "%s%s", destination, AsideSuffix);
    }

    bool Stop(PassStop stop, const char *name, DWORD error)
    {
        report.stop = stop;
        report.name = name;
        report.error = error;
        return false;
    }

    // A failed step on an installed or staged file, sorted by what the user can do.
    bool Failed(const PassItem &item, const char *path, DWORD error)
    {
        char folder[ComposedPathCapacity];
        const char *destinationFolder = FolderOf(destination, folder);
        PassStop stop = StopOther;
        if (destinationFolder != nullptr && !IsFolder(destinationFolder))
            stop = StopFolderMissing;
        else if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION)
            stop = StopInUse;
        else if (error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL)
            stop = StopDiskFull;
        else if (error == ERROR_ACCESS_DENIED)
            stop = HeldByAnother(path) ? StopInUse : StopAccessDenied;
        return Stop(stop, item.name, error);
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
                if (Find(*entry) == nullptr)
                    items[count++].name = *entry;
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
            Compose(items[i].name);
            DeleteFileA(staged);
            if (Exists(aside) && !Exists(destination))
                MoveFileExA(aside, destination, MOVEFILE_WRITE_THROUGH);
            else
                DeleteFileA(aside);
        }
    }

    // The update must be there whole: a bound update every file of its list, with its size;
    // a plain one at least one listed file in its folder.
    bool CheckUpdatePresent()
    {
        if (strchr(engine.sourceFolder, '?') != nullptr)
            return Stop(StopToolPathUnreadable, nullptr, ERROR_INVALID_NAME);
        report.fromArchive = ExtractedAlone(engine.sourceFolder);
        for (DWORD i = 0; i < count; ++i) {
            PassItem &item = items[i];
            Compose(item.name);
            WIN32_FILE_ATTRIBUTE_DATA data;
            bool present = GetFileAttributesExA(source, GetFileExInfoStandard, &data) &&
                           (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
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
        if (strchr(engine.installFolder, '?') != nullptr)
            return Stop(StopInstallPathUnreadable, nullptr, ERROR_INVALID_NAME);
        if (!IsFolder(engine.installFolder))
            return Stop(StopInstallMissing, nullptr, ERROR_PATH_NOT_FOUND);
        ULONGLONG needed = 0;
        for (DWORD i = 0; i < count; ++i) {
            PassItem &item = items[i];
            if (!item.carried)
                continue;
            Compose(item.name);
            char folder[ComposedPathCapacity];
            if (FolderOf(destination, folder) == nullptr || !IsFolder(folder))
                return Stop(StopFolderMissing, item.name, ERROR_PATH_NOT_FOUND);
            item.hadOld = Exists(destination);
            needed += item.size + ClusterAllowance;
        }
        // Every new file is staged while the old ones are still there.
        char root[ComposedPathCapacity];
        wsprintfA(root, "%s\\", engine.installFolder);
        ULARGE_INTEGER available = {};
        if (GetDiskFreeSpaceExA(root, &available, nullptr, nullptr) &&
            available.QuadPart < needed) {
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
        Compose(item.name);
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
        Compose(item.name);
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
            Compose(item.name);
            item.oldAttributes = GetFileAttributesA(destination);
            if (item.oldAttributes != INVALID_FILE_ATTRIBUTES) {
                item.reset = true;
                SetFileAttributesA(destination, FILE_ATTRIBUTE_NORMAL);
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
        Compose(item.name);
        if (item.hadOld) {
            // A second name of a file that another program holds could not be removed again
            // until it lets go: the hold is found first, before the link is made.
            HANDLE probe = CreateFileA(destination, DELETE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (probe == INVALID_HANDLE_VALUE)
                return Failed(item, destination, GetLastError());
            CloseHandle(probe);
            DeleteFileA(aside);
            if (!CreateHardLinkA(aside, destination, nullptr) &&
                !CopyFileA(destination, aside, FALSE))
                return Failed(item, destination, GetLastError());
        }
        if (!MoveFileExA(staged, destination, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            DWORD error = GetLastError();
            item.asideLeft = item.hadOld && !DeleteFileA(aside);
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
            Compose(item.name);
            // A file created under the name of one just removed takes over its creation time
            // (NTFS tunnelling), so the new one's is given again once it is in place.
            HANDLE file = CreateFileA(destination, FILE_WRITE_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (file != INVALID_HANDLE_VALUE) {
                SetFileTime(file, &item.created, nullptr, nullptr);
                CloseHandle(file);
            }
            if (item.hadOld)
                DeleteFileA(aside);
            // Removing the last name of a large old file frees its blocks there and then.
            view.progress(view.context, progress);
        }
    }

    bool PutBack(const PassItem &item)
    {
        for (DWORD tries = 1;; ++tries) {
            bool done = item.hadOld
                            ? MoveFileExA(aside, destination,
                                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
                            : DeleteFileA(destination);
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
            Compose(item.name);
            if (item.replaced && !PutBack(item))
                report.unchanged = false;
            if (item.reset)
                SetFileAttributesA(destination, item.oldAttributes);
            if (item.staged)
                DeleteFileA(staged);
            if (item.asideLeft)
                DeleteFileA(aside);
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
        PassReport report = {};
        report.stop = StopUpdateMissing;
        report.name = folderName;
        report.unchanged = true;
        view.stopped(view.context, report);
        return;
    }
    UpdateInstallation(view, manifest, manifestSize);
}
