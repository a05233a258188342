// What an update pass tells whoever shows it: how far it is, and why it stopped. The engine
// decides and gives causes; the texts, boxes and progress belong to the view.
#pragma once

#include <windows.h>

// Why a pass stopped, in the terms of what the user can do about it.
enum PassStop : unsigned {
    StopNone,
    StopUpdateMissing,   // no product folder beside the tool, or no listed file in it
    StopFileMissing,     // a file of the bound update is absent or of another size
    StopFileDamaged,     // its bytes are not the ones the publisher packed
    StopNotApplicable,   // the installed file is no version the update's patches start from
    StopManifestDamaged, // the tool's own list of the update cannot be read whole
    StopJournalDamaged,  // an earlier pass's journal in the install folder cannot be read whole
    StopInstallMissing,  // the install folder of the record is not there
    StopFolderMissing,   // the installation lacks the folder of a carried file
    StopInUse,           // another program holds the file
    StopDiskFull,
    StopAccessDenied,
    StopOther,
    // The install folder, or a carried file or a folder on its way, is a link (or the file has
    // another name elsewhere): the updater writes nothing through it.
    StopLinked,
    // Not the engine's: the copy asked to run elevated after a denial was not allowed to.
    StopElevationDeclined,
};

struct PassReport {
    PassStop stop;
    const char *name; // the listed name the stop concerns; null when none does
    DWORD error;      // the system's error of the failing step
    // Run from the folder an archive viewer extracts a lone exe to, without its files.
    bool fromArchive;
    // False only when a replaced file could not be put back.
    bool unchanged;
    // An interrupted pass was put back first: the installation is as it was before that pass.
    bool undidInterrupted;
    // Retry or Cancel is asked: a file in use, while the pass can still go on.
    bool question;
    // The user already said Cancel to this stop.
    bool asked;
    ULONGLONG bytesNeeded, bytesFree; // a full disk, when known before the copy
};

struct PassProgress {
    const char *name; // the listed name of the file in hand
    DWORD fileNumber, files;
    ULONGLONG bytesDone, bytes;
};

// Plain functions, so that the app and the tests each give their own. Every call may let
// the window answer.
struct PassView {
    void *context;
    // Often, between blocks: the view decides how often it redraws and takes messages.
    void (*progress)(void *context, const PassProgress &progress);
    // Waits that long while the window answers.
    void (*pause)(void *context, DWORD milliseconds);
    // A stop: true when the user asks for the same step again (a file in use only).
    bool (*stopped)(void *context, const PassReport &report);
    void (*completed)(void *context);
};

enum : unsigned {
    DigestSize = 32, // SHA-256
    BoundNameCapacity = 128,
};

// One file of a bound update, as the packer put it into the exe.
struct BoundFile {
    char name[BoundNameCapacity];
    ULONGLONG size;
    FILETIME written;
    BYTE digest[DigestSize];
};

// A patch that rebuilds a bound file from one earlier version of it. It lies beside the file's
// name in the update folder as "NAME.K.qpatch", K counting that file's patches from 1.
struct BoundPatch {
    DWORD file; // index of the bound file it rebuilds
    DWORD zero;
    ULONGLONG baseSize; // the earlier version it starts from
    BYTE baseDigest[DigestSize];
    ULONGLONG size; // of the patch itself
    BYTE digest[DigestSize];
};

// Everything the exe knows of the update it is bound to. A file without patches is carried
// whole.
struct BoundUpdate {
    BoundFile *files;
    DWORD fileCount;
    BoundPatch *patches; // grouped by file, in K order
    DWORD patchCount;
};

// What one copy checks and reports as it goes. In: what the bytes must be (a bound update)
// and where the progress goes; out: why it failed.
struct CopyCheck {
    const BoundFile *bound; // null: the source's own size and times
    const PassView *view;   // null: nobody watches
    PassProgress *progress;
    bool damaged; // the bytes read were not the bound ones
    // Rebuilt from a patch whose own bytes were the bound ones, yet not the new file: the
    // installed file was another version than the patch's base.
    bool otherBase;
    FILETIME created;
    bool failedOnSource;
    bool failedOnBase; // the installed file a patch starts from
    DWORD error;
};

// A temporary of this tool beside an installed file: the new content until it is put in
// place, and the replaced content until the pass's journal says every file is in. Tools
// without a journal kept replaced files as ".qupdate-old", which the pass still clears.
extern const wchar_t StagedSuffix[];
extern const wchar_t KeptSuffix[];
extern const wchar_t LegacyAsideSuffix[];

// The bound update list as the exe carries it, copied out into blocks the caller frees
// (ReleaseBoundUpdate); false when it cannot be read whole. Whether its names are listed is
// the pass's to check.
bool ParseBoundManifest(const void *bytes, DWORD size, BoundUpdate &update);
void ReleaseBoundUpdate(BoundUpdate &update);
// The list bound into this exe: false when there is none.
bool FindBoundManifest(const void **bytes, DWORD *size);
