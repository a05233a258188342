// The one engine record: the product's file lists, where the product is installed,
// and the handles of the operation in progress.
#pragma once

#include <stdio.h>
#include <windows.h>

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

    bool CopyVerified(const char *destinationPath, const char *sourcePath);
    bool TransferSourceToDestination();
    void CloseCopyStreams();

    void RunUpdate();
    bool LocateSourceRoot();
    bool CopyUpdateFiles();
    bool UpdateListedFiles(const FileList &list);
    bool UpdateFile(const char *fileName);
};

extern SetupEngine Engine;

void CopyFileList(FileList &list, const char *const *names);
void ReleaseFileList(FileList &list);

// Bounded copy: a text that does not fit ends the program at once.
void CopyBounded(char *target, size_t capacity, const char *text);
[[noreturn]] void FatalError();

// Low 32 bits of the size; 0 when the file cannot be opened.
DWORD FileSizeOf(const char *path);

// Code-page aware: a CP932 trail byte may equal '\\'. Null when there is none.
char *FindLastSeparator(char *path, bool forwardSlashToo);
