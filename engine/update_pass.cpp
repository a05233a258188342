// The update pass: nothing in the installation changes until the whole update is known to
// go in. It checks first, stages every new file beside its destination, writes down in a
// journal what it is about to change, and only then puts the staged files in place by
// renames, keeping each replaced file aside until the journal says every file is in. A stop
// at any point, or the next pass after a crash, can so put the installation back as it was.
#include "pass_record.h"

#include <stdlib.h>
#include <string.h>

const wchar_t StagedSuffix[] = L".qupdate-new";
const wchar_t KeptSuffix[] = L".qupdate-kept";
const wchar_t LegacyAsideSuffix[] = L".qupdate-old";

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
static bool ExtractedAlone(const wchar_t *folder)
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

// Plan checks once that every item's paths fit; they stay the same.
bool UpdatePass::Compose(const PassItem &item, ItemPaths &paths)
{
    return SystemPath(paths.source, updateFolder, item.path) &&
           SystemPath(paths.destination, engine.installFolder, item.path) &&
           SystemPath(paths.staged, engine.installFolder, item.path, StagedSuffix) &&
           SystemPath(paths.kept, engine.installFolder, item.path, KeptSuffix);
}

bool UpdatePass::Stop(PassStop stop, const char *name, DWORD error)
{
    report.stop = stop;
    report.name = name;
    report.error = error;
    return false;
}

// What the user can do about a system's error.
PassStop UpdatePass::CauseOf(DWORD error)
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
bool UpdatePass::Failed(const PassItem &item, const ItemPaths &paths, const wchar_t *path,
                        DWORD error)
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
DWORD UpdatePass::FolderStateOf(const wchar_t *path)
{
    wchar_t folder[ComposedPathCapacity];
    if (!FolderOf(path, folder, ComposedPathCapacity))
        return ERROR_INVALID_NAME;
    return FolderState(folder);
}

// A hold by another program is waited out quietly, then the user is asked, and a Retry
// gets the same patience. False with the report filled when the pass must stop.
bool UpdatePass::Patiently(Step step, PassItem &item)
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
bool UpdatePass::Ask()
{
    report.question = true;
    bool retry = view.stopped(view.context, report);
    report.question = false;
    report.asked = !retry;
    return retry;
}

bool UpdatePass::PlanItems()
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

bool UpdatePass::ReadBoundList(const void *manifest, DWORD manifestSize)
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

PassItem *UpdatePass::Find(const char *name)
{
    for (DWORD i = 0; i < count; ++i) {
        if (strcmp(items[i].name, name) == 0)
            return &items[i];
    }
    return nullptr;
}

// The update must be there whole: a bound update every file of its list, with its size;
// a plain one at least one listed file in its folder.
bool UpdatePass::CheckUpdatePresent()
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
            DWORD error = PatchesPresent(updateFolder, item.path, item.patches, item.patchCount);
            if (error != ERROR_SUCCESS)
                return Stop(error == ERROR_FILE_NOT_FOUND ? StopFileMissing : StopOther, item.name,
                            error);
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
const wchar_t *UpdatePass::BaseOf(const PassItem &item, const ItemPaths &paths)
{
    return item.continued && item.hadOld && Exists(paths.kept) ? paths.kept : paths.destination;
}

bool UpdatePass::CheckInstallation()
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
            return Stop(state == ERROR_PATH_NOT_FOUND ? StopFolderMissing : StopOther, item.name,
                        state);
        if (!item.inJournal)
            item.hadOld = Exists(paths.destination);
        if (item.inPlace)
            continue;
        // What sizes can tell is told before anything is staged.
        DWORD fits = item.patchCount != 0 ? InstalledFitsPatches(BaseOf(item, paths), *item.bound,
                                                                 item.patches, item.patchCount)
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

bool UpdatePass::CheckFree(PassItem &item)
{
    ItemPaths paths;
    Compose(item, paths);
    return !HeldByAnother(paths.destination) || Stop(StopInUse, item.name, ERROR_SHARING_VIOLATION);
}

bool UpdatePass::StageAll()
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

bool UpdatePass::Stage(PassItem &item)
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
                                          updateFolder, item.path, item.patches, item.patchCount,
                                          !item.continued, alreadyNew, check)
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
bool UpdatePass::TakeStock(PassItem &item)
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
bool UpdatePass::WriteDownChanges()
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
bool UpdatePass::Commit()
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
bool UpdatePass::Replace(PassItem &item)
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

void UpdatePass::Finish()
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
