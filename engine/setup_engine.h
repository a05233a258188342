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

// How often a pass lets the window answer, in milliseconds: well inside what the system
// waits before it calls a window not responding; and how often it redraws its progress,
// which costs far more than a look at the queue.
enum : DWORD {
    PassMessageInterval = 50,
    PassProgressInterval = 250,
};

// Why a pass stopped, in the terms of what the user can do about it.
enum PassFailure : unsigned {
    FailureNone,
    FailureInUse, // another program holds the file
    FailureDiskFull,
    FailureAccessDenied,
    FailureMissingFolder, // the installation lacks the folder of the file
    FailureOther,
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

    // The dialog's prompt while it runs a pass: it shows the progress, and its dialog owns
    // the failure message and holds off the end of the session. Null in tests.
    HWND progressLabel;
    bool passRunning;
    // A retry resumes the pass at the entry that failed.
    unsigned resumeList;
    unsigned resumeEntry;
    DWORD filesToCopy;
    DWORD filesCopied;
    ULONGLONG bytesToCopy;
    ULONGLONG bytesCopied;
    const char *currentName;
    const char *progressName; // the last file carried, as the progress shows it
    char currentSource[ComposedPathCapacity];
    char currentDestination[ComposedPathCapacity];
    // The system's error of the step that failed, and whether it was the source's.
    DWORD failureError;
    bool failedOnSource;
    DWORD lastMessageTick;
    DWORD lastProgressTick;
    char progressText[ComposedPathCapacity];
    // A quit message taken from the queue mid-pass is posted again when the pass ends.
    bool quitReceived;
    WPARAM quitCode;

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
    bool Fail(bool onSource, DWORD error);

    void RunUpdate();
    void BeginPass();
    void EndPass();
    bool LocateSourceRoot();
    void ComposePaths(const char *fileName);
    void CountCarriedFiles();
    bool CopyUpdateFiles();
    bool UpdateListedFiles(const FileList &list, unsigned listIndex);
    bool UpdateFile(const char *fileName);
    PassFailure ClassifyFailure() const;
    void DescribeFailure(PassFailure failure, char *text, size_t capacity) const;
    bool AskAfterFailure();

    void ShowProgress();
    void ShowProgressIfDue(DWORD now);
    void ProcessMessagesIfDue();
    void ProcessMessages();
};

extern SetupEngine Engine;

void CopyFileList(FileList &list, const char *const *names);
void ReleaseFileList(FileList &list);

// Bounded copy: a text that does not fit ends the program at once.
void CopyBounded(char *target, size_t capacity, const char *text);
[[noreturn]] void FatalError();

// Low 32 bits of the size; 0 when the file cannot be opened.
DWORD FileSizeOf(const char *path);

// The listed name as the user knows it: "movie/a.mpg" becomes "movie\\a.mpg".
void DisplayName(char *target, size_t capacity, const char *listedName);
// Digits in groups of three: 1,024.
void FormatGrouped(char *target, ULONGLONG value);

// Code-page aware: a CP932 trail byte may equal '\\'. Null when there is none.
char *FindLastSeparator(char *path, bool forwardSlashToo);
// The folder of a path ('\\' or '/' separated) in folder, ComposedPathCapacity bytes; null
// when the path has none.
const char *FolderOf(const char *path, char *folder);

// A function of a loaded system DLL that older Windows lacks: looked up, not imported. Null
// when it is missing.
FARPROC SystemFunction(const char *module, const char *name);
