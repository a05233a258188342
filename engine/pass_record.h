// What an update pass keeps of each listed file and of itself, shared by the pass
// (update_pass.cpp) and its recovery of what an earlier, interrupted pass left
// (pass_recovery.cpp).
#pragma once

#include "guarded_files.h"
#include "pass_journal.h"

#include <stdlib.h>

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
    bool baseKept;  // the version a patch starts from lies under the kept name
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

// Whether another program holds the file, where Windows answers both it and a lack of rights
// with access denied.
bool HeldByAnother(const wchar_t *path);

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
    // Every change below the install folder goes through its handle (guarded_files.h).
    GuardedRoot root;
    DWORD rootState; // why it could not be opened, if so

    UpdatePass(SetupEngine &owner, const PassView &shownBy)
        : engine(owner), view(shownBy), items(nullptr), count(0), bound(), progress(), report(),
          update(), journalInForce(false), continuing(false), updateFolder(),
          rootState(ERROR_PATH_NOT_FOUND)
    {
        report.unchanged = true;
    }
    ~UpdatePass()
    {
        free(items);
        ReleaseBoundUpdate(bound);
    }

    // Reporting and waiting (update_pass.cpp).
    bool Compose(const PassItem &item, ItemPaths &paths);
    bool Stop(PassStop stop, const char *name, DWORD error);
    static PassStop CauseOf(DWORD error);
    bool Failed(const PassItem &item, const ItemPaths &paths, const wchar_t *path, DWORD error);
    static DWORD FolderStateOf(const wchar_t *path);
    typedef bool (UpdatePass::*Step)(PassItem &item);
    bool Patiently(Step step, PassItem &item);
    bool Ask();
    DWORD Look(const PassItem &item, const wchar_t *suffix, GuardedFile *file = nullptr);
    bool AsLeft(const PassItem &item, bool &there);

    // The pass itself, in its order (update_pass.cpp).
    bool PlanItems();
    bool ReadBoundList(const void *manifest, DWORD manifestSize);
    PassItem *Find(const char *name);
    bool CheckUpdatePresent();
    static const wchar_t *BaseOf(const PassItem &item, const ItemPaths &paths);
    bool CheckInstallation();
    DWORD CheckWay(PassItem &item);
    bool CheckFree(PassItem &item);
    bool StageAll();
    bool Stage(PassItem &item);
    bool TakeStock(PassItem &item);
    bool WriteDownChanges();
    bool Commit();
    bool Replace(PassItem &item);
    void Finish();

    // What an earlier pass left, and putting back (pass_recovery.cpp).
    bool LoadJournal(PassJournal &found, bool &pending);
    void SweepWithoutJournal();
    void ClearCommitted(const PassJournal &committed);
    bool SameUpdate(const PassJournal &interrupted);
    bool RemoveKept(const wchar_t *name);
    void Continue(const PassJournal &interrupted);
    static void TakeAccount(PassItem &item, const JournalEntry &entry);
    bool PutBackInterrupted(const PassJournal &interrupted);
    bool PutBack(const PassItem &item);
    DWORD Retried(const PassItem &item, bool returnKept);
    void Undo();
};
