// The update pass: nothing in the installation changes until the whole update is known to
// go in. It checks first, stages every new file beside its destination, writes down in a
// journal what it is about to change, and only then puts the staged files in place by
// renames, keeping each replaced file aside until the journal says every file is in. A stop
// at any point, or the next pass after a crash, can so put the installation back as it was.
#include "pass_journal.h"
#include "setup_engine.h"

#include <stdlib.h>
#include <string.h>

const wchar_t StagedSuffix[] = L".qupdate-new";
const wchar_t KeptSuffix[] = L".qupdate-kept";
const wchar_t LegacyAsideSuffix[] = L".qupdate-old";

// A virus scanner or an indexer holds a freshly written file for a moment: such a hold is
// waited out quietly before the user is asked.
enum : DWORD {
    PatientTries = 10,
    PatientInterval = 500,
};

// Room per file beyond its size: the last cluster, whatever the volume's cluster size. How
// much of a kept file is freed at a time.
enum : ULONGLONG {
    ClusterAllowance = 64u * 1024,
    RemovalStep = 64u << 20,
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
    const BoundPatch *patches;      // its patches there; none: carried whole
    DWORD patchCount;
    bool carried;   // the update brings a new version
    bool hadOld;    // an installed file is there to set aside
    bool existed;   // an installed file was there; oldAttributes holds its own
    bool inJournal; // the journal in force names it: a stop puts it back
    bool continued; // named by the interrupted pass this one completes
    bool inPlace;   // which already put its new file in
    bool staged;    // the new content waits beside the destination
    DWORD oldAttributes;
    ULONGLONG size;     // of the new file
    FILETIME written;   // of the new file in the update folder
    FILETIME created;   // given again once it is in place
    ULONGLONG leftSize; // the installed file as the pass leaves it
    FILETIME leftWritten;
};

// Every path one item of the pass reaches the system by.
struct ItemPaths {
    wchar_t source[ComposedPathCapacity];
    wchar_t destination[ComposedPathCapacity];
    wchar_t staged[ComposedPathCapacity];
    wchar_t kept[ComposedPathCapacity];
};

// Replacing a file that another program has open is refused as access denied on Windows,
// the same answer an unprivileged user gets. An open that wants the file to itself tells
// them apart: it meets a sharing violation only when someone else holds the file. A running
// exe or a loaded DLL lets such a reader in, but refuses anyone who would write to it, whatever
// the sharing; a file that is only read-only refuses a writer with access denied instead.
bool HeldByAnother(const wchar_t *path)
{
    const DWORD tries[][2] = {
        {GENERIC_READ, 0},
        {FILE_WRITE_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE},
    };
    for (const DWORD *access : tries) {
        HANDLE file = CreateFileW(path, access[0], access[1], nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
            continue;
        }
        DWORD error = GetLastError();
        if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION)
            return true;
    }
    return false;
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

// Size and write time of a file, when it is there.
bool FileFacts(const wchar_t *path, ULONGLONG &size, FILETIME &written)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        if (GetLastError() == ERROR_SUCCESS)
            SetLastError(ERROR_FILE_NOT_FOUND); // a folder of the name is no file
        return false;
    }
    size = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    written = data.ftLastWriteTime;
    return true;
}

struct UpdatePass {
    SetupEngine &engine;
    const PassView &view;
    PassItem *items;
    DWORD count;
    BoundUpdate bound;
    PassProgress progress;
    PassReport report;
    BYTE update[DigestSize];                    // which update this pass installs
    bool journalInForce;                        // on disk and naming this pass's changes
    bool continuing;                            // completes an interrupted pass of the same update
    wchar_t updateFolder[ComposedPathCapacity]; // the product folder beside the tool
    wchar_t journal[ComposedPathCapacity];
    wchar_t journalTemporary[ComposedPathCapacity];

    UpdatePass(SetupEngine &owner, const PassView &shownBy)
        : engine(owner), view(shownBy), items(nullptr), count(0), bound(), progress(), report(),
          update(), journalInForce(false), continuing(false), updateFolder(), journal(),
          journalTemporary()
    {
        report.unchanged = true;
    }
    ~UpdatePass()
    {
        free(items);
        ReleaseBoundUpdate(bound);
    }

    // Plan checks once that every item's paths fit; they stay the same.
    bool Compose(const PassItem &item, ItemPaths &paths)
    {
        return SystemPath(paths.source, updateFolder, item.path) &&
               SystemPath(paths.destination, engine.installFolder, item.path) &&
               SystemPath(paths.staged, engine.installFolder, item.path, StagedSuffix) &&
               SystemPath(paths.kept, engine.installFolder, item.path, KeptSuffix);
    }

    bool Stop(PassStop stop, const char *name, DWORD error)
    {
        report.stop = stop;
        report.name = name;
        report.error = error;
        return false;
    }

    // What the user can do about a system's error.
    static PassStop CauseOf(DWORD error)
    {
        if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION)
            return StopInUse;
        if (error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL)
            return StopDiskFull;
        if (error == ERROR_ACCESS_DENIED)
            return StopAccessDenied;
        return StopOther;
    }

    // A failed step on an installed or staged file. Windows refuses to replace a file that
    // another program holds as it refuses one the user may not write: a holder is looked for.
    bool Failed(const PassItem &item, const ItemPaths &paths, const wchar_t *path, DWORD error)
    {
        PassStop stop = CauseOf(error);
        bool refused = error == ERROR_ACCESS_DENIED || error == ERROR_UNABLE_TO_REMOVE_REPLACED ||
                       error == ERROR_UNABLE_TO_MOVE_REPLACEMENT ||
                       error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2;
        if (FolderStateOf(paths.destination) == ERROR_PATH_NOT_FOUND)
            stop = StopFolderMissing;
        else if (refused && HeldByAnother(path))
            stop = StopInUse;
        return Stop(stop, item.name, error);
    }

    // Of the folder a path lies in.
    static DWORD FolderStateOf(const wchar_t *path)
    {
        wchar_t folder[ComposedPathCapacity];
        if (!FolderOf(path, folder, ComposedPathCapacity))
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

    bool PlanItems()
    {
        wchar_t folderName[PathFieldCapacity];
        if (!WideDisplayName(folderName, PathFieldCapacity, engine.folderName))
            return Stop(StopOther, engine.folderName, ERROR_NO_UNICODE_TRANSLATION);
        if (!SystemPath(updateFolder, engine.sourceFolder, folderName))
            return Stop(StopOther, engine.folderName, ERROR_FILENAME_EXCED_RANGE);
        if (!SystemPath(journal, engine.installFolder, JournalName) ||
            !SystemPath(journalTemporary, engine.installFolder, JournalName, StagedSuffix))
            return Stop(StopOther, nullptr, ERROR_FILENAME_EXCED_RANGE);
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
                ItemPaths paths;
                if (!WideDisplayName(item.path, FileNameCapacity, item.name))
                    return Stop(StopOther, item.name, ERROR_NO_UNICODE_TRANSLATION);
                if (!Compose(item, paths))
                    return Stop(StopOther, item.name, ERROR_FILENAME_EXCED_RANGE);
            }
        }
        return true;
    }

    bool ReadBoundList(const void *manifest, DWORD manifestSize)
    {
        if (manifest == nullptr)
            return true;
        if (!ParseBoundManifest(manifest, manifestSize, bound))
            return Stop(StopManifestDamaged, nullptr, ERROR_INVALID_DATA);
        for (DWORD i = 0; i < bound.fileCount; ++i) {
            PassItem *item = Find(bound.files[i].name);
            // Only what the lists name may go into the installation.
            if (item == nullptr)
                return Stop(StopManifestDamaged, nullptr, ERROR_INVALID_DATA);
            item->bound = &bound.files[i];
        }
        for (DWORD i = 0; i < bound.patchCount; ++i) {
            PassItem &item = *Find(bound.files[bound.patches[i].file].name);
            if (item.patchCount++ == 0)
                item.patches = &bound.patches[i];
        }
        Sha256 sha;
        if (!sha.Start() || !sha.Add(static_cast<const BYTE *>(manifest), manifestSize) ||
            !sha.Finish(update))
            return Stop(StopOther, nullptr, GetLastError());
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

    // The journal of an earlier pass, read before anything else: false when it cannot be
    // read whole, with nothing touched. A committed one has only its kept files to clear.
    bool LoadJournal(PassJournal &found, bool &pending)
    {
        pending = false;
        DWORD error = ERROR_SUCCESS;
        JournalState state = ReadJournal(journal, found, error);
        if (state == JournalAbsent) {
            SweepWithoutJournal();
            return true;
        }
        bool whole = state == JournalRead;
        for (DWORD i = 0; whole && i < found.count; ++i) {
            const JournalEntry &entry = found.entries[i];
            // Its names go into paths: only the lists' own are taken.
            whole = memchr(entry.name, '\0', sizeof entry.name) != nullptr &&
                    Find(entry.name) != nullptr;
        }
        if (!whole)
            return Stop(StopJournalDamaged, nullptr,
                        error != ERROR_SUCCESS ? error : ERROR_INVALID_DATA);
        if (found.committed)
            ClearCommitted(found);
        else
            pending = true;
        return true;
    }

    // What a pass ended before its journal was in, or a tool without one, left beside the
    // installed files: its staged files, and files set aside, which go back where nothing
    // took their place.
    void SweepWithoutJournal()
    {
        DeleteFileW(journalTemporary);
        for (DWORD i = 0; i < count; ++i) {
            ItemPaths paths;
            Compose(items[i], paths);
            view.progress(view.context, progress); // a slow drive takes a while over every name
            DeleteFileW(paths.staged);
            wchar_t legacy[ComposedPathCapacity];
            SystemPath(legacy, engine.installFolder, items[i].path, LegacyAsideSuffix);
            const wchar_t *asides[] = {paths.kept, legacy};
            for (const wchar_t *aside : asides) {
                if (Exists(aside) && !Exists(paths.destination))
                    MoveFileExW(aside, paths.destination, MOVEFILE_WRITE_THROUGH);
                else
                    DeleteFileW(aside);
            }
        }
    }

    // Every new file of that pass is in: what it kept aside goes, then the journal. A kept
    // file the system will not remove yet (still running) keeps the journal for the next pass.
    void ClearCommitted(const PassJournal &committed)
    {
        bool cleared = true;
        for (DWORD i = 0; i < committed.count; ++i) {
            const JournalEntry &entry = committed.entries[i];
            ItemPaths paths;
            Compose(*Find(entry.name), paths);
            DeleteFileW(paths.staged);
            if ((entry.flags & JournalHadOld) != 0 && !RemoveKept(paths.kept))
                cleared = false;
            view.progress(view.context, progress);
        }
        if (cleared)
            DeleteFileW(journal);
    }

    // A bound update is known by its list's digest; a plain one by the files it carries, with
    // their sizes and times in the update folder.
    bool SameUpdate(const PassJournal &interrupted)
    {
        if (memcmp(interrupted.update, update, DigestSize) != 0)
            return false;
        DWORD carried = 0;
        for (DWORD i = 0; bound.files == nullptr && i < interrupted.count; ++i) {
            const JournalEntry &entry = interrupted.entries[i];
            const PassItem &item = *Find(entry.name);
            if (((entry.flags & JournalCarried) != 0) != item.carried)
                return false;
            if (item.carried &&
                (entry.size != item.size || CompareFileTime(&entry.shipped, &item.written) != 0))
                return false;
            carried += item.carried ? 1 : 0;
        }
        return bound.files != nullptr || carried == progress.files;
    }

    // Only once the journal is committed, when what was kept aside is of no more use. Freed at
    // once, a large file can take a slow drive most of a second (FAT32 walks its whole chain of
    // clusters): it is cut shorter in steps first, the window answering between them. A file
    // that a program still runs from cannot be opened so, nor removed: true only when gone.
    bool RemoveKept(const wchar_t *kept)
    {
        HANDLE file = CreateFileW(kept, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            LARGE_INTEGER size = {};
            GetFileSizeEx(file, &size);
            while (size.QuadPart > static_cast<LONGLONG>(RemovalStep)) {
                size.QuadPart -= RemovalStep;
                if (!SetFilePointerEx(file, size, nullptr, FILE_BEGIN) || !SetEndOfFile(file))
                    break;
                view.progress(view.context, progress);
            }
            CloseHandle(file);
        }
        return DeleteFileW(kept) || SaysNotThere(GetLastError());
    }

    // An interrupted pass of this same update is completed, under the same promise: its
    // journal's account of each file is this pass's, so that a stop still puts back what
    // was there before either pass.
    void Continue(const PassJournal &interrupted)
    {
        for (DWORD i = 0; i < interrupted.count; ++i) {
            PassItem &item = *Find(interrupted.entries[i].name);
            TakeAccount(item, interrupted.entries[i]);
            item.inJournal = true;
            item.continued = true;
            ItemPaths paths;
            Compose(item, paths);
            ULONGLONG size = 0;
            FILETIME written = {};
            // What it put in is not written again.
            item.inPlace = item.carried && FileFacts(paths.destination, size, written) &&
                           size == item.leftSize &&
                           CompareFileTime(&written, &item.leftWritten) == 0;
        }
        journalInForce = true;
        continuing = true;
    }

    // What a journal says of a file, as the pass that wrote it knew it.
    static void TakeAccount(PassItem &item, const JournalEntry &entry)
    {
        item.carried = (entry.flags & JournalCarried) != 0;
        item.hadOld = (entry.flags & JournalHadOld) != 0;
        item.existed = (entry.flags & JournalExisted) != 0;
        item.oldAttributes = entry.oldAttributes;
        item.leftSize = entry.size;
        item.leftWritten = entry.written;
    }

    // Another update's interrupted pass, or one whose update is gone: it is put back whole
    // before this pass does anything of its own.
    bool PutBackInterrupted(const PassJournal &interrupted)
    {
        bool back = true;
        for (DWORD i = interrupted.count; i-- > 0;) {
            // Its account in a copy: this pass's own items start afresh.
            PassItem theirs = *Find(interrupted.entries[i].name);
            TakeAccount(theirs, interrupted.entries[i]);
            if (!PutBack(theirs))
                back = false;
        }
        report.undidInterrupted = true;
        if (!back) {
            report.unchanged = false;
            return false;
        }
        DeleteFileW(journal);
        return true;
    }

    // The installed file goes back to what it was before the pass: the kept one returns
    // while what is there is still what the pass left (or nothing), a file the pass created
    // goes, and the attributes it cleared come back. False when a file could not go back;
    // the report then names it.
    bool PutBack(const PassItem &item)
    {
        ItemPaths paths;
        Compose(item, paths);
        ULONGLONG size = 0;
        FILETIME written = {};
        bool there = FileFacts(paths.destination, size, written);
        bool asLeft =
            there && size == item.leftSize && CompareFileTime(&written, &item.leftWritten) == 0;
        bool before = item.carried ? true : asLeft; // the installed file is the one from before
        bool done = true;
        if (item.carried && item.hadOld && Exists(paths.kept)) {
            if (!there || asLeft)
                done = Retried(
                    [](const ItemPaths &at) {
                        return MoveFileExW(at.kept, at.destination,
                                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
                    },
                    paths);
            else
                before = false; // someone else's file took its place since: it stays
        } else if (item.carried && !item.hadOld) {
            before = false;
            if (asLeft)
                done = Retried([](const ItemPaths &at) { return DeleteFileW(at.destination) != 0; },
                               paths);
        }
        DWORD error = done ? ERROR_SUCCESS : GetLastError();
        if (done && before && item.existed)
            SetFileAttributesW(paths.destination, item.oldAttributes);
        DeleteFileW(paths.staged);
        if (!done)
            Failed(item, paths, paths.destination, error);
        return done;
    }

    // A step of putting back, waited for as long as a brief hold lasts.
    bool Retried(bool (*step)(const ItemPaths &paths), const ItemPaths &paths)
    {
        for (DWORD tries = 1;; ++tries) {
            if (step(paths))
                return true;
            if (tries >= PatientTries)
                return false;
            view.pause(view.context, PatientInterval);
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
        bool plain = bound.files == nullptr;
        for (DWORD i = 0; i < count; ++i) {
            PassItem &item = items[i];
            ItemPaths paths;
            Compose(item, paths);
            view.progress(view.context, progress);
            if (item.patchCount != 0) {
                DWORD error =
                    PatchesPresent(updateFolder, item.path, item.patches, item.patchCount);
                if (error != ERROR_SUCCESS)
                    return Stop(error == ERROR_FILE_NOT_FOUND ? StopFileMissing : StopOther,
                                item.name, error);
                item.carried = true;
                item.size = item.bound->size;
                item.written = item.bound->written;
                ++progress.files;
                progress.bytes += item.size;
                continue;
            }
            ULONGLONG size = 0;
            bool present = FileFacts(paths.source, size, item.written);
            DWORD error = present ? ERROR_SUCCESS : GetLastError();
            // Only what the system says is not there is absent; a path it cannot take is told.
            if (!present && !SaysNotThere(error))
                return Stop(StopOther, item.name, error);
            if (item.bound != nullptr && (!present || size != item.bound->size))
                return Stop(StopFileMissing, item.name, ERROR_FILE_NOT_FOUND);
            item.carried = plain ? present : item.bound != nullptr;
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

    // The installed version a patch starts from: the kept file where the interrupted pass this
    // one completes set it aside already, else the installed one.
    static const wchar_t *BaseOf(const PassItem &item, const ItemPaths &paths)
    {
        return item.continued && item.hadOld && Exists(paths.kept) ? paths.kept : paths.destination;
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
        // Every new file is staged while the old ones are still there; the journal beside them.
        ULONGLONG needed = ClusterAllowance;
        for (DWORD i = 0; i < count; ++i) {
            PassItem &item = items[i];
            if (!item.carried)
                continue;
            ItemPaths paths;
            Compose(item, paths);
            view.progress(view.context, progress);
            state = FolderStateOf(paths.destination);
            if (state != ERROR_SUCCESS)
                return Stop(state == ERROR_PATH_NOT_FOUND ? StopFolderMissing : StopOther,
                            item.name, state);
            if (!item.inJournal)
                item.hadOld = Exists(paths.destination);
            if (item.inPlace)
                continue;
            // What sizes can tell is told before anything is staged.
            DWORD fits = item.patchCount != 0
                             ? InstalledFitsPatches(BaseOf(item, paths), *item.bound, item.patches,
                                                    item.patchCount)
                             : ERROR_SUCCESS;
            if (fits != ERROR_SUCCESS)
                return Stop(fits == ERROR_INVALID_DATA ? StopNotApplicable : StopOther, item.name,
                            fits);
            needed += item.size + ClusterAllowance;
        }
        // A share is asked with its closing backslash; a folder of the platform's full length,
        // without.
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
            if (items[i].carried && !Patiently(&UpdatePass::CheckFree, items[i]))
                return false;
        }
        return true;
    }

    bool CheckFree(PassItem &item)
    {
        ItemPaths paths;
        Compose(item, paths);
        return !HeldByAnother(paths.destination) ||
               Stop(StopInUse, item.name, ERROR_SHARING_VIOLATION);
    }

    bool StageAll()
    {
        for (DWORD i = 0; i < count; ++i) {
            if (!items[i].carried)
                continue;
            ++progress.fileNumber;
            if (items[i].inPlace)
                progress.bytesDone += items[i].size;
            else if (!Patiently(&UpdatePass::Stage, items[i]))
                return false;
        }
        return true;
    }

    bool Stage(PassItem &item)
    {
        ItemPaths paths;
        Compose(item, paths);
        progress.name = item.name;
        // Named while a hold on it is waited out, before any of its bytes moved.
        view.progress(view.context, progress);
        ULONGLONG before = progress.bytesDone;
        CopyCheck check = {};
        check.bound = item.bound;
        check.view = &view;
        check.progress = &progress;
        bool alreadyNew = false;
        // What an interrupted pass put in counts as new; one it had not is rebuilt or copied.
        bool staged = item.bound != nullptr && (item.patchCount != 0 || !item.continued)
                          ? engine.StageBound(paths.staged, BaseOf(item, paths), paths.source,
                                              updateFolder, item.path, item.patches,
                                              item.patchCount, !item.continued, alreadyNew, check)
                          : engine.CopyVerified(paths.staged, paths.source, check);
        // Already the new file, as after a second run: left as it is, times included.
        if (alreadyNew) {
            item.carried = false;
            progress.bytesDone += item.size;
            return true;
        }
        if (!staged) {
            progress.bytesDone = before; // a retry counts the file afresh
            if (check.damaged)
                return Stop(StopFileDamaged, item.name, check.error);
            if (check.otherBase)
                return Stop(StopNotApplicable, item.name, check.error);
            return Failed(item, paths,
                          check.failedOnSource ? paths.source
                          : check.failedOnBase ? BaseOf(item, paths)
                                               : paths.staged,
                          check.error);
        }
        item.created = check.created;
        item.staged = true;
        return true;
    }

    // What a listed file is now and will be once the pass is through.
    bool TakeStock(PassItem &item)
    {
        ItemPaths paths;
        Compose(item, paths);
        if (!item.inJournal) {
            item.oldAttributes = GetFileAttributesW(paths.destination);
            item.existed =
                item.oldAttributes != INVALID_FILE_ATTRIBUTES &&
                (item.carried || FileFacts(paths.destination, item.leftSize, item.leftWritten));
        }
        return !item.carried || item.inPlace ||
               FileFacts(paths.staged, item.leftSize, item.leftWritten) ||
               Failed(item, paths, paths.staged, GetLastError());
    }

    // Before the first change, for whichever pass comes next if this one does not end.
    bool WriteDownChanges()
    {
        PassJournal written = {};
        memcpy(written.update, update, DigestSize);
        written.entries = static_cast<JournalEntry *>(calloc(count + 1, sizeof(JournalEntry)));
        if (written.entries == nullptr)
            FatalError();
        bool good = true;
        for (DWORD i = 0; good && i < count; ++i) {
            PassItem &item = items[i];
            good = TakeStock(item);
            if (!good || !(item.carried || item.existed || item.inJournal))
                continue;
            item.inJournal = true;
            JournalEntry &entry = written.entries[written.count++];
            lstrcpynA(entry.name, item.name, sizeof entry.name);
            entry.flags = 0;
            if (item.carried)
                entry.flags |= JournalCarried;
            if (item.hadOld)
                entry.flags |= JournalHadOld;
            if (item.existed)
                entry.flags |= JournalExisted;
            entry.oldAttributes = item.oldAttributes;
            entry.size = item.leftSize;
            entry.written = item.leftWritten;
            if (item.carried)
                entry.shipped = item.written;
        }
        DWORD error = ERROR_SUCCESS;
        if (good && !WriteJournal(journal, journalTemporary, written, error))
            good = Stop(CauseOf(error), nullptr, error);
        free(written.entries);
        journalInForce = journalInForce || good;
        return good;
    }

    // Renames only: milliseconds for the whole update. Every listed file loses the attributes
    // that would refuse a later overwrite, whether or not this update carries it.
    bool Commit()
    {
        view.progress(view.context, progress); // the journal's flush can take a moment
        for (DWORD i = 0; i < count; ++i) {
            PassItem &item = items[i];
            ItemPaths paths;
            Compose(item, paths);
            if (Exists(paths.destination))
                SetFileAttributesW(paths.destination, FILE_ATTRIBUTE_NORMAL);
            if (item.carried && !item.inPlace && !Patiently(&UpdatePass::Replace, item))
                return false;
            view.progress(view.context, progress); // renames can take a while on a busy disk
        }
        DWORD error = ERROR_SUCCESS;
        if (journalInForce && !MarkJournalCommitted(journal, error))
            return Stop(StopOther, nullptr, error);
        return true;
    }

    // The old file is renamed aside under the kept name and the staged one renamed in, by one
    // call that keeps the old file's security and streams for the new one. A running exe or a
    // loaded DLL could be renamed too, and would then run on from the kept name: it is found
    // first, as a file in use.
    bool Replace(PassItem &item)
    {
        ItemPaths paths;
        Compose(item, paths);
        // Aside already (by the interrupted pass this one completes, or by a replacement that
        // could not take the name): only the new file is missing.
        bool aside =
            item.hadOld && Exists(paths.kept) && (item.continued || !Exists(paths.destination));
        bool done;
        if (aside || !item.hadOld) {
            // In place now is that pass's new file, or nothing.
            DWORD over = aside || item.continued ? MOVEFILE_REPLACE_EXISTING : 0;
            done = MoveFileExW(paths.staged, paths.destination, over | MOVEFILE_WRITE_THROUGH);
        } else {
            if (HeldByAnother(paths.destination))
                return Stop(StopInUse, item.name, ERROR_SHARING_VIOLATION);
            done = ReplaceFileW(paths.destination, paths.staged, paths.kept,
                                REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr);
        }
        if (!done)
            return Failed(item, paths, paths.destination, GetLastError());
        item.staged = false;
        return true;
    }

    void Finish()
    {
        bool cleared = true;
        for (DWORD i = 0; i < count; ++i) {
            PassItem &item = items[i];
            if (!item.carried)
                continue;
            ItemPaths paths;
            Compose(item, paths);
            // A file created under the name of one just removed takes over its creation time
            // (NTFS tunnelling), so the new one's is given again once it is in place.
            HANDLE file = item.inPlace
                              ? INVALID_HANDLE_VALUE
                              : CreateFileW(paths.destination, FILE_WRITE_ATTRIBUTES,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (file != INVALID_HANDLE_VALUE) {
                SetFileTime(file, &item.created, nullptr, nullptr);
                CloseHandle(file);
            }
            // Removing the last name of a large old file frees its blocks there and then.
            if (item.hadOld && !RemoveKept(paths.kept))
                cleared = false;
            view.progress(view.context, progress);
        }
        // A kept file still running goes with the next pass, which the journal tells.
        if (cleared)
            DeleteFileW(journal);
    }

    // After a stop: what was replaced goes back, newest first, with its attributes, and the
    // staged files go; an interrupted pass this one completed goes back with it.
    void Undo()
    {
        bool back = true;
        for (DWORD i = count; i-- > 0;) {
            PassItem &item = items[i];
            if (item.inJournal && journalInForce) {
                if (!PutBack(item))
                    back = false;
                continue;
            }
            ItemPaths paths;
            Compose(item, paths);
            if (item.staged)
                DeleteFileW(paths.staged);
        }
        if (!back) {
            report.unchanged = false;
            return;
        }
        if (journalInForce)
            DeleteFileW(journal);
        report.undidInterrupted = report.undidInterrupted || continuing;
    }
};

} // namespace

bool SetupEngine::UpdateInstallation(const PassView &view, const void *manifest, DWORD manifestSize)
{
    UpdatePass pass(*this, view);
    PassJournal interrupted = {};
    bool pending = false;
    // An earlier pass's journal is dealt with first, whatever this pass then does: the same
    // update completes it, anything else (another update, none) puts it back.
    bool done = pass.PlanItems() && pass.LoadJournal(interrupted, pending);
    if (done)
        done = pass.ReadBoundList(manifest, manifestSize) && pass.CheckUpdatePresent();
    if (pending && done && pass.SameUpdate(interrupted))
        pass.Continue(interrupted);
    else if (pending && !pass.PutBackInterrupted(interrupted))
        done = false;
    free(interrupted.entries);
    if (done) {
        done =
            pass.CheckInstallation() && pass.StageAll() && pass.WriteDownChanges() && pass.Commit();
    }
    if (done) {
        pass.Finish();
        view.completed(view.context);
        return true;
    }
    pass.Undo();
    // A Cancel on a file in use was already the user's word, unless putting back failed or an
    // interrupted update was put back, which the question did not say.
    if (!pass.report.asked || !pass.report.unchanged || pass.report.undidInterrupted)
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
