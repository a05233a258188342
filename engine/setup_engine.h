// The one engine record: the product's file lists, where the product is installed,
// and the handles of the operation in progress.
#pragma once

#include <stdio.h>
#include <windows.h>
#include <wincrypt.h>

#include "update_pass.h"

// The record's folders and composed paths count UTF-16 characters; file and folder names of
// the product count CP932 bytes, as the product tables hold them.
enum : unsigned {
    FileNameCapacity = 128,
    PathFieldCapacity = 260,
    ComposedPathCapacity = 1024,
    CopyBlockSize = 65536,
};

enum : UINT {
    FatalExitCode = 3,
};

// Ends at its first empty entry; nothing keeps a count.
struct FileList {
    char **entries;
};

// One transfer buffer for every copy, so copies are never reentrant.
extern unsigned char CopyBuffer[CopyBlockSize];

struct GuardedRoot;
struct GuardedFile;
// Where a copy stages its file: name and suffix below the install folder that root holds. The
// file is made new there and checked (guarded_files.h), and goes again when the copy fails.
struct StagedPlace {
    const GuardedRoot *root;
    const wchar_t *name;
    const wchar_t *suffix;
};
// Made as a copy writes it, to itself alone.
DWORD CreateStaged(const StagedPlace &place, GuardedFile &staged);

struct SetupEngine {
    FileList mainFiles;
    FileList extraFiles;
    char folderName[PathFieldCapacity];
    wchar_t installFolder[PathFieldCapacity];
    wchar_t sourceFolder[PathFieldCapacity];
    DWORD installType;
    HWND ownerWindow;
    HKEY registryKey;
    DWORD installed;

    SetupEngine();
    ~SetupEngine();

    void Init(const char *const *mainFileNames, const char *const *extraFileNames, HWND owner,
              const char *productFolderName);
    void Teardown();

    bool ReadInstallRecord();
    bool OpenRecordKey();
    bool QueryRecordValue(const wchar_t *name, DWORD expectedType, void *buffer, DWORD bufferSize,
                          DWORD *bytesRead = nullptr, DWORD *typeRead = nullptr);
    bool QueryRecordString(const wchar_t *name, wchar_t *field);
    bool QueryInstallType();
    void CloseRecordKey();

    // Into a new file of the pass's own (staged), checked as it goes.
    bool CopyVerified(const StagedPlace &staged, const wchar_t *sourcePath, CopyCheck &check);
    // The same, the content rebuilt from the installed version (basePath) and a patch of the
    // bound update; check.bound is the file it rebuilds.
    bool RebuildVerified(const StagedPlace &staged, const wchar_t *basePath,
                         const wchar_t *patchPath, const BoundPatch &patch, CopyCheck &check);
    // A file of a bound update (check.bound) staged from what is installed at installedPath:
    // rebuilt by the patch that starts from it, or copied whole from sourcePath when it has no
    // patches. When the installed file is the new one already and newCounts, nothing is
    // staged and alreadyNew says so. An installed file no patch starts from: false, with
    // check.otherBase.
    bool StageBound(const StagedPlace &staged, const wchar_t *installedPath,
                    const wchar_t *sourcePath, const wchar_t *updateFolder, const wchar_t *name,
                    const BoundPatch *patches, DWORD patchCount, bool newCounts, bool &alreadyNew,
                    CopyCheck &check);

    // The whole pass, from the tool's own folder and with the list bound into the exe.
    void RunUpdate(const PassView &view);
    bool LocateSourceRoot();
    // The pass proper, from sourceFolder; a bound update when manifest is not null. True when
    // the update went in whole; otherwise nothing changed and the view was told why.
    bool UpdateInstallation(const PassView &view, const void *manifest, DWORD manifestSize);
};

extern SetupEngine Engine;

void CopyFileList(FileList &list, const char *const *names);
void ReleaseFileList(FileList &list);

// Bounded copy: a text that does not fit ends the program at once.
void CopyBounded(char *target, size_t capacity, const char *text);
[[noreturn]] void FatalError();

// The listed name as the user knows it and as it goes into paths, in UTF-16 from the CP932 of
// the product tables: "movie/a.mpg" becomes "movie\\a.mpg". False when the bytes are not
// CP932.
bool WideDisplayName(wchar_t *target, int capacity, const char *listedName);
// Digits in groups of three: 1,024.
void FormatGrouped(char *target, ULONGLONG value);

// The one way a path reaches the system: folder, then name and suffix when given, in target
// (ComposedPathCapacity characters), the folder made whole first (GetFullPathNameW). Past the
// platform's 259 characters it goes in the extended-length form (\\?\ or \\?\UNC\). False,
// with target empty, when it cannot be held.
bool SystemPath(wchar_t *target, const wchar_t *folder, const wchar_t *name = nullptr,
                const wchar_t *suffix = nullptr);
// The system's word that nothing is at a path: no such file, folder, drive or share.
bool SaysNotThere(DWORD error);
// The folder of a path or a listed name in UTF-16 ('\\' separated); false when it has none.
bool FolderOf(const wchar_t *path, wchar_t *folder, int capacity);
// ERROR_SUCCESS for a folder; ERROR_PATH_NOT_FOUND when the system says nothing is there, or
// a file; otherwise the system's error about the path itself.
DWORD FolderState(const wchar_t *systemPath);

// Size and write time of the file at a path; false with the system's error when nothing, or a
// folder (ERROR_FILE_NOT_FOUND), is there.
bool FileFacts(const wchar_t *path, ULONGLONG &size, FILETIME &written);
// A file opened to be read from start to end, which nobody may write meanwhile.
HANDLE OpenToRead(const wchar_t *path);

// Four bytes as the packer and the journal store numbers, least significant first.
DWORD ReadLittleEndian32(const BYTE *at);

// How much new content may wait in the cache before it is flushed: a large file then ends with
// one short flush rather than seconds without an answer.
enum : ULONGLONG {
    FirstFlushSlice = 8u << 20,
};

struct Sha256;

// Where a staged file's content goes: flushed in slices as it is written, hashed on the bytes
// written when a digest is to be checked, and the progress told.
struct StagedWriter {
    HANDLE file;
    Sha256 *sha; // null: no digest to check
    CopyCheck *check;
    ULONGLONG written = 0;
    ULONGLONG unflushed = 0;
    ULONGLONG slice = FirstFlushSlice;

    bool Put(const BYTE *bytes, DWORD size); // false with check's error set
};
// The staged file's times (the bound ones, else the source's) on its own handle, and its content
// on the disk: neither a crash nor a power cut then leaves new content with old times or an
// installed file of zeros.
bool FinishStaged(HANDLE staged, HANDLE source, CopyCheck &check);
// A failed step of a copy: which side, and the system's error. Always false.
bool Fail(CopyCheck &check, bool onSource, DWORD error);

// Whether every patch of a file lies in the update folder with the size the bound list gives
// it: ERROR_SUCCESS, ERROR_FILE_NOT_FOUND, or the system's error about a path.
DWORD PatchesPresent(const wchar_t *updateFolder, const wchar_t *name, const BoundPatch *patches,
                     DWORD count);
// What sizes tell before anything is staged: ERROR_SUCCESS when the installed file's size is
// that of the new file or of a patch's base, ERROR_INVALID_DATA when it is neither or the file
// is missing, else the system's error.
DWORD InstalledFitsPatches(const wchar_t *installedPath, const BoundFile &file,
                           const BoundPatch *patches, DWORD count);

// SHA-256 from the system's CryptoAPI, for a bound update alone (its files and the digest of
// its list): a plain pass does not load the CryptoAPI.
struct Sha256 {
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;

    bool Start();
    bool Add(const BYTE *bytes, DWORD size);
    bool Finish(BYTE *digest); // DigestSize bytes
    bool Matches(const BYTE *expected);
    ~Sha256();
};

// A function of a loaded system DLL that older Windows lacks: looked up, not imported. Null
// when it is missing.
FARPROC SystemFunction(const char *module, const char *name);
