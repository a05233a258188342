// The record of a pass in progress, kept in the install folder from before the first change
// to an installed file until the last file of the pass is gone. Whatever ends a pass (a kill,
// a crash, a power cut), the next one reads what was changed and can put it back.
#pragma once

#include "guarded_files.h"

extern const wchar_t JournalName[];

enum : DWORD {
    JournalCarried = 1, // the pass brings a new file
    JournalHadOld = 2,  // an installed file is set aside under the kept name
    JournalExisted = 4, // an installed file was there; oldAttributes holds its attributes
};

// One listed file the pass changes. size and written describe the installed file as the pass
// leaves it, so that a file someone else put there since is never taken for the pass's own;
// shipped is the write time of a carried file in the update folder, which with its size tells
// a plain update from another.
struct JournalEntry {
    char name[BoundNameCapacity];
    DWORD flags;
    DWORD oldAttributes;
    ULONGLONG size;
    FILETIME written;
    FILETIME shipped;
};

struct PassJournal {
    BYTE update[DigestSize]; // the digest of a bound update's list; zeros for a plain one
    bool committed;          // every new file is in; what is kept aside may go
    DWORD count;
    JournalEntry *entries; // freed by the reader's caller
};

enum JournalState {
    JournalAbsent,
    JournalRead,
    JournalUnreadable, // there, but not whole: nothing it may name can be touched
};

// In the install folder, as root holds it. A link at the journal's name is unreadable.
JournalState ReadJournal(const GuardedRoot &root, PassJournal &journal, DWORD &error);
// Written under a temporary name (the journal's with StagedSuffix), flushed, then renamed in: a
// journal is there whole or not at all.
bool WriteJournal(const GuardedRoot &root, const PassJournal &journal, DWORD &error);
// Flushed before it returns: the pass may then remove what it kept aside. Refused (ErrorLinked)
// for a journal whose file has another name elsewhere, which the mark would reach.
bool MarkJournalCommitted(const GuardedRoot &root, DWORD &error);
