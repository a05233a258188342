// The one engine record: the product's file lists, where the product is installed,
// and the handles of the operation in progress.
#pragma once

#include <stdio.h>
#include <windows.h>

#include "update_pass.h"

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

struct SetupEngine {
    FileList mainFiles;
    FileList extraFiles;
    char folderName[PathFieldCapacity];
    char installFolder[PathFieldCapacity];
    char sourceFolder[PathFieldCapacity];
    DWORD installType;
    FILE *sourceStream;
    FILE *destinationStream;
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
    bool QueryRecordValue(const char *name, DWORD expectedType, void *buffer, DWORD bufferSize,
                          DWORD *bytesRead = nullptr);
    bool QueryRecordString(const char *name, char *field);
    void CloseRecordKey();

    // Into a new file of the pass's own (destinationPath), checked as it goes.
    bool CopyVerified(const char *destinationPath, const char *sourcePath, CopyCheck &check);

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

// The listed name as the user knows it: "movie/a.mpg" becomes "movie\\a.mpg".
void DisplayName(char *target, size_t capacity, const char *listedName);
// Digits in groups of three: 1,024.
void FormatGrouped(char *target, ULONGLONG value);

// Code-page aware: a CP932 trail byte may equal '\\'. Null when there is none.
char *FindLastSeparator(char *path, bool forwardSlashToo);
// The folder of a path ('\\' or '/' separated) in folder, ComposedPathCapacity bytes; null
// when the path has none.
const char *FolderOf(const char *path, char *folder);
bool IsFolder(const char *path);

// A function of a loaded system DLL that older Windows lacks: looked up, not imported. Null
// when it is missing.
FARPROC SystemFunction(const char *module, const char *name);
