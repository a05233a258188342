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
// took their place.
void UpdatePass::SweepWithoutJournal()
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
void UpdatePass::ClearCommitted(const PassJournal &committed)
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
// clusters): it is cut shorter in steps first, the window answering between them. A file
// that a program still runs from cannot be opened so, nor removed: true only when gone.
bool UpdatePass::RemoveKept(const wchar_t *kept)
{
    HANDLE file =
        CreateFileW(kept, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
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
void UpdatePass::Continue(const PassJournal &interrupted)
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
                       size == item.leftSize && CompareFileTime(&written, &item.leftWritten) == 0;
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
    DeleteFileW(journal);
    return true;
}

// The installed file goes back to what it was before the pass: the kept one returns
// while what is there is still what the pass left (or nothing), a file the pass created
// goes, and the attributes it cleared come back. False when a file could not go back;
// the report then names it.
bool UpdatePass::PutBack(const PassItem &item)
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
bool UpdatePass::Retried(bool (*step)(const ItemPaths &paths), const ItemPaths &paths)
{
    for (DWORD tries = 1;; ++tries) {
        if (step(paths))
            return true;
        if (tries >= PatientTries)
            return false;
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
