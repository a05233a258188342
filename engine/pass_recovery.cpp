// What an earlier pass left behind is dealt with before this one changes anything: the staged
// and set-aside files of one ended before its journal was in, the kept files of a committed
// one, and an interrupted one completed or put back. A stop of this pass puts back its own.
#include "pass_record.h"

#include <stdlib.h>
#include <string.h>

// The journal of an earlier pass, read before anything else: false when it cannot be
// read whole, with nothing touched. A committed one has only its kept files to clear.
bool UpdatePass::LoadJournal(PassJournal &found, bool &pending)
{
    pending = false;
    // Opened once for the whole pass. Where it cannot be (missing, a link), nothing in it is
    // touched, and the check of the installation says why.
    rootState = OpenGuardedRoot(root, engine.installFolder);
    if (rootState != ERROR_SUCCESS)
        return true;
    DWORD error = ERROR_SUCCESS;
    JournalState state = ReadJournal(root, found, error);
    if (state == JournalAbsent) {
        SweepWithoutJournal();
        return true;
    }
    bool whole = state == JournalRead;
    for (DWORD i = 0; whole && i < found.count; ++i) {
        const JournalEntry &entry = found.entries[i];
        // Its names go into paths: only the lists' own are taken.
        whole =
            memchr(entry.name, '\0', sizeof entry.name) != nullptr && Find(entry.name) != nullptr;
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
// took their place. A link at one of these names is no file of a pass: it is renamed over,
// never followed (RemoveGuarded).
void UpdatePass::SweepWithoutJournal()
{
    RemoveGuarded(root, JournalName, StagedSuffix);
    const wchar_t *const asides[] = {KeptSuffix, LegacyAsideSuffix};
    for (DWORD i = 0; i < count; ++i) {
        const PassItem &item = items[i];
        view.progress(view.context, progress); // a slow drive takes a while over every name
        RemoveGuarded(root, item.path, StagedSuffix);
        for (const wchar_t *suffix : asides) {
            GuardedFile aside;
            DWORD state = OpenGuarded(root, item.path, suffix, DELETE, ShareAll, aside,
                                      FILE_FLAG_WRITE_THROUGH);
            if (state == ErrorLinked)
                RemoveGuarded(root, item.path, suffix);
            if (state != ERROR_SUCCESS || (aside.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
                continue;
            // A link at the installed name keeps the file aside.
            state = Look(item, nullptr);
            if (SaysNotThere(state))
                RenameGuarded(root, aside, item.path, nullptr, false);
            else if (state == ERROR_SUCCESS)
                DeleteGuarded(aside);
        }
    }
}

// Every new file of that pass is in: what it kept aside goes, then the journal. A kept
// file the system will not remove yet (still running) keeps the journal for the next pass.
void UpdatePass::ClearCommitted(const PassJournal &committed)
{
    bool cleared = true;
    for (DWORD i = 0; i < committed.count; ++i) {
        const JournalEntry &entry = committed.entries[i];
        const wchar_t *name = Find(entry.name)->path;
        RemoveGuarded(root, name, StagedSuffix);
        if ((entry.flags & JournalHadOld) != 0 && !RemoveKept(name))
            cleared = false;
        view.progress(view.context, progress);
    }
    if (cleared)
        RemoveGuarded(root, JournalName, nullptr);
}

// A bound update is known by its list's digest; a plain one by the files it carries, with
// their sizes and times in the update folder.
bool UpdatePass::SameUpdate(const PassJournal &interrupted)
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
// clusters): it is cut shorter in steps first, the window answering between them; of a file
// with another name nothing is cut, and only this name goes. A file that a program still runs
// from, or that another holds without letting it go, cannot be opened so: true only when gone.
bool UpdatePass::RemoveKept(const wchar_t *name)
{
    GuardedFile kept;
    DWORD state = OpenGuarded(root, name, KeptSuffix, DELETE | FILE_WRITE_DATA,
                              FILE_SHARE_READ | FILE_SHARE_DELETE, kept);
    if (state == ErrorLinked)
        return RemoveGuarded(root, name, KeptSuffix) == ERROR_SUCCESS;
    if (state != ERROR_SUCCESS)
        return SaysNotThere(state);
    for (ULONGLONG size = kept.size;
         size > RemovalStep && CutGuarded(kept, size -= RemovalStep) == ERROR_SUCCESS;)
        view.progress(view.context, progress);
    return DeleteGuarded(kept) == ERROR_SUCCESS;
}

// An interrupted pass of this same update is completed, under the same promise: its
// journal's account of each file is this pass's, so that a stop still puts back what
// was there before either pass.
void UpdatePass::Continue(const PassJournal &interrupted)
{
    for (DWORD i = 0; i < interrupted.count; ++i) {
        PassItem &item = *Find(interrupted.entries[i].name);
        TakeAccount(item, interrupted.entries[i]);
        item.inJournal = true;
        item.continued = true;
        bool there = false;
        // What it put in is not written again.
        item.inPlace = item.carried && AsLeft(item, there);
    }
    journalInForce = true;
    continuing = true;
}

// What a journal says of a file, as the pass that wrote it knew it.
void UpdatePass::TakeAccount(PassItem &item, const JournalEntry &entry)
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
bool UpdatePass::PutBackInterrupted(const PassJournal &interrupted)
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
    RemoveGuarded(root, JournalName, nullptr);
    return true;
}

// The installed file goes back to what it was before the pass: the kept one returns
// while what is there is still what the pass left (or nothing), a file the pass created
// goes, and the attributes it cleared come back. False when a file could not go back;
// the report then names it.
bool UpdatePass::PutBack(const PassItem &item)
{
    bool there = false;
    bool asLeft = AsLeft(item, there);
    bool before = item.carried ? true : asLeft; // the installed file is the one from before
    DWORD error = ERROR_SUCCESS;
    if (item.carried && item.hadOld && Look(item, KeptSuffix) == ERROR_SUCCESS) {
        if (!there || asLeft)
            error = Retried(item, true);
        else
            before = false; // someone else's file took its place since (a link too): it stays
    } else if (item.carried && !item.hadOld) {
        before = false;
        if (asLeft)
            error = Retried(item, false);
    }
    if (error == ERROR_SUCCESS && before && item.existed)
        SetGuardedAttributes(root, item.path, item.oldAttributes);
    RemoveGuarded(root, item.path, StagedSuffix);
    if (error == ERROR_SUCCESS)
        return true;
    ItemPaths paths;
    Compose(item, paths);
    return Failed(item, paths, paths.destination, error);
}

// A step of putting back, waited for as long as a brief hold lasts: the kept file returned
// over whatever the installed name holds now (the pass's own file, or a link), or the file
// the pass created removed.
DWORD UpdatePass::Retried(const PassItem &item, bool returnKept)
{
    for (DWORD tries = 1;; ++tries) {
        GuardedFile kept;
        DWORD error = returnKept ? OpenGuarded(root, item.path, KeptSuffix, DELETE, ShareAll, kept,
                                               FILE_FLAG_WRITE_THROUGH)
                                 : RemoveGuarded(root, item.path, nullptr);
        if (returnKept && error == ERROR_SUCCESS)
            error = RenameGuarded(root, kept, item.path, nullptr, true);
        if (error == ERROR_SUCCESS || tries >= PatientTries)
            return error;
        view.pause(view.context, PatientInterval);
    }
}

// After a stop: what was replaced goes back, newest first, with its attributes, and the
// staged files go; an interrupted pass this one completed goes back with it.
void UpdatePass::Undo()
{
    bool back = true;
    for (DWORD i = count; i-- > 0;) {
        PassItem &item = items[i];
        if (item.inJournal && journalInForce) {
            if (!PutBack(item))
                back = false;
            continue;
        }
        if (item.staged)
            RemoveGuarded(root, item.path, StagedSuffix);
    }
    if (!back) {
        report.unchanged = false;
        return;
    }
    if (journalInForce)
        RemoveGuarded(root, JournalName, nullptr);
    report.undidInterrupted = report.undidInterrupted || continuing;
}
