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
    return error == ErrorLinked ? StopLinked : StopOther;
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
    if (stop == StopLinked) // said as it is, whatever else holds
        return Stop(stop, item.name, error);
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

// What the installation holds under an item's name (with suffix), opened only to be seen, and
// kept open in file if given.
DWORD UpdatePass::Look(const PassItem &item, const wchar_t *suffix, GuardedFile *file)
{
    GuardedFile seen;
    return OpenGuarded(root, item.path, suffix, 0, ShareAll, file != nullptr ? *file : seen);
}

// Whether the installed name still holds the file the pass left there, of its size and write
// time; there: whether it holds anything, a link included.
bool UpdatePass::AsLeft(const PassItem &item, bool &there)
{
    GuardedFile installed;
    DWORD state = Look(item, nullptr, &installed);
    there = !SaysNotThere(state);
    return state == ERROR_SUCCESS && (installed.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
           installed.size == item.leftSize &&
           CompareFileTime(&installed.written, &item.leftWritten) == 0;
}

bool UpdatePass::PlanItems()
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
// one completes set it aside already, else the installed one. Only read, and checked first
// (CheckWay).
const wchar_t *UpdatePass::BaseOf(const PassItem &item, const ItemPaths &paths)
{
    return item.baseKept ? paths.kept : paths.destination;
}

bool UpdatePass::CheckInstallation()
{
    if (rootState != ERROR_SUCCESS)
        return Stop(rootState == ERROR_PATH_NOT_FOUND ? StopInstallMissing : CauseOf(rootState),
                    nullptr, rootState);
    // Every new file is staged while the old ones are still there; the journal beside them.
    ULONGLONG needed = ClusterAllowance;
    for (DWORD i = 0; i < count; ++i) {
        PassItem &item = items[i];
        if (!item.carried)
            continue;
        ItemPaths paths;
        Compose(item, paths);
        view.progress(view.context, progress);
        DWORD state = CheckWay(item);
        if (state != ERROR_SUCCESS)
            return Stop(state == ERROR_PATH_NOT_FOUND ? StopFolderMissing : CauseOf(state),
                        item.name, state);
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
    wchar_t folder[ComposedPathCapacity];
    bool known = (SystemPath(folder, engine.installFolder, L"") &&
                  GetDiskFreeSpaceExW(folder, &available, nullptr, nullptr)) ||
                 (SystemPath(folder, engine.installFolder) &&
                  GetDiskFreeSpaceExW(folder, &available, nullptr, nullptr));
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

// Nothing the update writes may lie behind a link, nor be a file with another name elsewhere,
// which every change to it would reach: a link on its way, at its name or at the kept name a
// patch starts from is ErrorLinked. ERROR_PATH_NOT_FOUND: its folder is missing.
DWORD UpdatePass::CheckWay(PassItem &item)
{
    GuardedFile found;
    DWORD state = Look(item, nullptr, &found);
    wchar_t folder[FileNameCapacity];
    // No folder there, or a link to one that is not (which only its own name tells).
    if (state == ERROR_PATH_NOT_FOUND && FolderOf(item.path, folder, FileNameCapacity) &&
        OpenGuarded(root, folder, nullptr, 0, ShareAll, found) == ErrorLinked)
        return ErrorLinked;
    if (state == ERROR_SUCCESS && found.links != 1)
        return ErrorLinked;
    if (state != ERROR_SUCCESS && state != ERROR_FILE_NOT_FOUND)
        return state;
    if (!item.inJournal)
        item.hadOld = state == ERROR_SUCCESS;
    state = item.continued && item.hadOld ? Look(item, KeptSuffix) : ERROR_FILE_NOT_FOUND;
    item.baseKept = state == ERROR_SUCCESS;
    return state == ErrorLinked ? state : ERROR_SUCCESS;
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
    // Made new: what the interrupted pass this one completes staged goes first (the leftovers
    // of any other went with the sweep or the putting back).
    DWORD cleared = item.continued ? RemoveGuarded(root, item.path, StagedSuffix) : ERROR_SUCCESS;
    if (cleared != ERROR_SUCCESS)
        return Failed(item, paths, paths.staged, cleared);
    const StagedPlace place = {&root, item.path, StagedSuffix};
    // What an interrupted pass put in counts as new; one it had not is rebuilt or copied.
    bool staged =
        item.bound != nullptr && (item.patchCount != 0 || !item.continued)
            ? engine.StageBound(place, BaseOf(item, paths), paths.source, updateFolder, item.path,
                                item.patches, item.patchCount, !item.continued, alreadyNew, check)
            : engine.CopyVerified(place, paths.source, check);
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

// What a listed file is now and will be once the pass is through. One the update does not
// carry that lies behind a link or has another name elsewhere is no concern of the pass: it
// stays as it is, attributes included.
bool UpdatePass::TakeStock(PassItem &item)
{
    GuardedFile found;
    if (!item.inJournal) {
        bool own = Look(item, nullptr, &found) == ERROR_SUCCESS &&
                   (item.carried ||
                    (found.links == 1 && (found.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0));
        item.existed = own;
        item.oldAttributes = own ? found.attributes : INVALID_FILE_ATTRIBUTES;
        item.leftSize = found.size;
        item.leftWritten = found.written;
    }
    if (!item.carried || item.inPlace)
        return true;
    DWORD state = Look(item, StagedSuffix, &found);
    item.leftSize = found.size;
    item.leftWritten = found.written;
    return state == ERROR_SUCCESS || Stop(CauseOf(state), item.name, state);
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
    if (good && !WriteJournal(root, written, error))
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
        // Of a file of this name alone, no link (TakeStock), that has any of them.
        const DWORD refusing =
            FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
        if (item.existed && (item.oldAttributes & refusing) != 0)
            SetGuardedAttributes(root, item.path, FILE_ATTRIBUTE_NORMAL);
        if (item.carried && !item.inPlace && !Patiently(&UpdatePass::Replace, item))
            return false;
        view.progress(view.context, progress); // renames can take a while on a busy disk
    }
    DWORD error = ERROR_SUCCESS;
    if (journalInForce && !MarkJournalCommitted(root, error))
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
    bool aside = item.hadOld && Look(item, KeptSuffix) == ERROR_SUCCESS &&
                 (item.continued || SaysNotThere(Look(item, nullptr)));
    DWORD error;
    if (aside || !item.hadOld) {
        // In place now is that pass's new file, or nothing: what is there is replaced itself,
        // even a link.
        GuardedFile staged;
        error = OpenGuarded(root, item.path, StagedSuffix, DELETE, ShareAll, staged,
                            FILE_FLAG_WRITE_THROUGH);
        if (error == ERROR_SUCCESS)
            error = RenameGuarded(root, staged, item.path, nullptr, aside || item.continued);
    } else {
        if (HeldByAnother(paths.destination))
            return Stop(StopInUse, item.name, ERROR_SHARING_VIOLATION);
        error = ReplaceGuarded(root, item.path, StagedSuffix, KeptSuffix);
    }
    if (error != ERROR_SUCCESS)
        return Failed(item, paths, paths.destination, error);
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
        // A file created under the name of one just removed takes over its creation time
        // (NTFS tunnelling), so the new one's is given again once it is in place.
        if (!item.inPlace)
            SetGuardedTimes(root, item.path, &item.created, nullptr, nullptr);
        // Removing the last name of a large old file frees its blocks there and then.
        if (item.hadOld && !RemoveKept(item.path))
            cleared = false;
        view.progress(view.context, progress);
    }
    // A kept file still running goes with the next pass, which the journal tells.
    if (cleared)
        RemoveGuarded(root, JournalName, nullptr);
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

void SetupEngine::RunUpdate(const PassView &view)
{
    const void *manifest = nullptr;
    DWORD manifestSize = 0;
    FindBoundManifest(&manifest, &manifestSize);
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
