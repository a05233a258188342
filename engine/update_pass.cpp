#include "setup_engine.h"

bool SetupEngine::LocateSourceRoot()
{
    DWORD length = GetModuleFileNameA(nullptr, sourceFolder, PathFieldCapacity);
    // A cut-off path would name some other folder.
    if (length == 0 || length >= PathFieldCapacity)
        return false;
    char *separator = FindLastSeparator(sourceFolder, false);
    if (separator == nullptr)
        return false;
    *separator = '\0';
    return true;
}

static void CopyTimestamps(HANDLE destination, HANDLE source)
{
    FILETIME created, accessed, written;
    GetFileTime(source, &created, &accessed, &written);
    SetFileTime(destination, &created, &accessed, &written);
}

void SetupEngine::ComposePaths(const char *fileName)
{
    currentName = fileName;
    wsprintfA(currentSource, "%s\\%s\\%s", sourceFolder, folderName, fileName);
    wsprintfA(currentDestination, "%s\\%s", installFolder, fileName);
}

// False when the pass must stop: a file the update carries could not be put in place.
bool SetupEngine::UpdateFile(const char *fileName)
{
    ComposePaths(fileName);
    // Before the copy: a read-only, hidden or system file would refuse its new content.
    SetFileAttributesA(currentDestination, FILE_ATTRIBUTE_NORMAL);
    if (GetFileAttributesA(currentSource) == INVALID_FILE_ATTRIBUTES)
        return true; // not carried by this update
    progressName = fileName;
    ShowProgressIfDue(GetTickCount());
    // A retry counts the file afresh.
    ULONGLONG bytesBefore = bytesCopied;
    if (!CopyVerified(currentDestination, currentSource)) {
        bytesCopied = bytesBefore;
        return false;
    }
    ++filesCopied;

    HANDLE source = CreateFileA(currentSource, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (source == INVALID_HANDLE_VALUE)
        return true;
    HANDLE destination = CreateFileA(currentDestination, GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
    if (destination == INVALID_HANDLE_VALUE) {
        Fail(false, GetLastError());
        CloseHandle(source);
        --filesCopied;
        bytesCopied = bytesBefore;
        return false;
    }
    CopyTimestamps(destination, source);
    CloseHandle(source);
    CloseHandle(destination);
    return true;
}

bool SetupEngine::UpdateListedFiles(const FileList &list, unsigned listIndex)
{
    if (resumeList > listIndex)
        return true;
    for (; list.entries[resumeEntry][0] != '\0'; ++resumeEntry) {
        if (!UpdateFile(list.entries[resumeEntry]))
            return false;
        ProcessMessagesIfDue();
    }
    resumeList = listIndex + 1;
    resumeEntry = 0;
    return true;
}

// The main list first, then the extra list; names in both are handled twice. After a stop
// it starts again at the entry that failed.
bool SetupEngine::CopyUpdateFiles()
{
    return UpdateListedFiles(mainFiles, 0) && UpdateListedFiles(extraFiles, 1);
}

// What the progress counts: the files this update carries and their bytes.
void SetupEngine::CountCarriedFiles()
{
    filesToCopy = 0;
    bytesToCopy = 0;
    const FileList *lists[] = {&mainFiles, &extraFiles};
    for (const FileList *list : lists) {
        for (char **entry = list->entries; (*entry)[0] != '\0'; ++entry) {
            ComposePaths(*entry);
            WIN32_FILE_ATTRIBUTE_DATA data;
            if (!GetFileAttributesExA(currentSource, GetFileExInfoStandard, &data))
                continue;
            ++filesToCopy;
            bytesToCopy += (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        }
    }
    currentName = nullptr;
}

static bool IsFolder(const char *path)
{
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Replacing a file that another program has open is refused as access denied on Windows,
// the same answer an unprivileged user gets. An open that wants the file to itself tells
// them apart: it meets a sharing violation only when someone else holds the file.
static bool HeldByAnother(const char *path)
{
    HANDLE file =
        CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        return false;
    }
    DWORD error = GetLastError();
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

PassFailure SetupEngine::ClassifyFailure() const
{
    char folder[ComposedPathCapacity];
    const char *destinationFolder = FolderOf(currentDestination, folder);
    if (destinationFolder != nullptr && !IsFolder(destinationFolder))
        return FailureMissingFolder;
    const char *failedPath = failedOnSource ? currentSource : currentDestination;
    switch (failureError) {
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return FailureInUse;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return FailureDiskFull;
    case ERROR_ACCESS_DENIED:
        return HeldByAnother(failedPath) ? FailureInUse : FailureAccessDenied;
    }
    return FailureOther;
}

void SetupEngine::DescribeFailure(PassFailure failure, char *text, size_t capacity) const
{
    char name[FileNameCapacity];
    DisplayName(name, sizeof name, currentName != nullptr ? currentName : "");
    char advice[ComposedPathCapacity];
    switch (failure) {
    case FailureInUse:
        wsprintfA(advice,
                  "このファイルは他のプログラムが使用中です。\nゲームや、このファイルを開いている"
                  "プログラムを終了してから［再試行］を押してください。［キャンセル］を押すと"
                  "アップデートを中止します。");
        break;
    case FailureDiskFull:
        wsprintfA(advice,
                  "インストール先のドライブの空き容量が足りません。\n不要なファイルを削除するなど"
                  "して空き容量を増やしてから、もう一度アップデートしてください。\n（インストール"
                  "先: %s）",
                  installFolder);
        break;
    case FailureAccessDenied:
        wsprintfA(advice, "このファイルを書き換える権限がありません。\nこのツールを右クリックし"
                          "て［管理者として実行］を選び、もう一度アップデートしてください。");
        break;
    case FailureMissingFolder: {
        char folder[ComposedPathCapacity];
        const char *listedFolder = FolderOf(name, folder);
        if (listedFolder == nullptr)
            listedFolder = installFolder;
        wsprintfA(advice,
                  "インストール先にフォルダ「%s」がありません。\nゲームをインストールし直してから"
                  "、もう一度アップデートしてください。",
                  listedFolder);
        break;
    }
    default:
        wsprintfA(advice, "システムのエラー コード %lu が返されました。", failureError);
        break;
    }
    char buffer[2 * ComposedPathCapacity];
    const char *stopped = failure == FailureInUse ? "" : "アップデートを中止しました。";
    wsprintfA(buffer,
              "%s を更新できませんでした。\n%s\n\n%sここまでに %lu 個のファイルを更新しました。"
              "更新できなかったファイルは元のままです。",
              name, advice, stopped, filesCopied);
    CopyBounded(text, capacity, buffer);
}

// True when the user asks for the same file again; the pass has stopped otherwise.
bool SetupEngine::AskAfterFailure()
{
    ShowProgress(); // behind the message, the prompt shows where the pass stopped
    PassFailure failure = ClassifyFailure();
    char text[2 * ComposedPathCapacity];
    DescribeFailure(failure, text, sizeof text);
    HWND owner = progressLabel != nullptr ? GetParent(progressLabel) : ownerWindow;
    UINT buttons = failure == FailureInUse ? MB_RETRYCANCEL | MB_DEFBUTTON1 : MB_OK;
    bool retry = MessageBoxA(owner, text, "エラー", buttons | MB_ICONWARNING) == IDRETRY;
    // The box gives its owner back its input as it closes; the pass may go on.
    if (owner != nullptr)
        EnableWindow(owner, FALSE);
    return retry;
}

// Two lines in the prompt: the file in hand, then how far the pass is in files and bytes.
void SetupEngine::ShowProgress()
{
    if (progressLabel == nullptr || progressName == nullptr)
        return;
    char name[FileNameCapacity];
    DisplayName(name, sizeof name, progressName);
    char done[32], total[32];
    // Whole megabytes: done rounded down, the total up, so that only the end shows both equal.
    ULONGLONG totalMegabytes = (bytesToCopy + 0xFFFFF) >> 20;
    FormatGrouped(done, bytesCopied >= bytesToCopy ? totalMegabytes : bytesCopied >> 20);
    FormatGrouped(total, totalMegabytes);
    DWORD fileNumber = filesCopied < filesToCopy ? filesCopied + 1 : filesToCopy;
    char text[sizeof progressText];
    wsprintfA(text, "%s を更新しています…\n%lu / %lu ファイル　%s / %s MB", name, fileNumber,
              filesToCopy, done, total);
    if (lstrcmpA(text, progressText) == 0)
        return;
    CopyBounded(progressText, sizeof progressText, text);
    SetWindowTextA(progressLabel, progressText);
}

// Only a pass that shows itself takes messages; a glance at the clock per block is all the
// copy loop pays otherwise.
void SetupEngine::ProcessMessagesIfDue()
{
    if (progressLabel == nullptr)
        return;
    DWORD now = GetTickCount();
    if (now - lastMessageTick < PassMessageInterval)
        return;
    lastMessageTick = now;
    ShowProgressIfDue(now);
    ProcessMessages();
}

void SetupEngine::ShowProgressIfDue(DWORD now)
{
    if (now - lastProgressTick < PassProgressInterval)
        return;
    lastProgressTick = now;
    ShowProgress();
}

// The dialog stays disabled, so input does not reach it; what arrives is painting, the
// system's questions and close requests, which the dialog and the host window refuse while
// a pass runs.
void SetupEngine::ProcessMessages()
{
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            quitReceived = true;
            quitCode = message.wParam;
            continue;
        }
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

typedef BOOL(WINAPI *ShutdownBlockReasonCreateFunction)(HWND, LPCWSTR);
typedef BOOL(WINAPI *ShutdownBlockReasonDestroyFunction)(HWND);

void SetupEngine::BeginPass()
{
    passRunning = true;
    resumeList = 0;
    resumeEntry = 0;
    filesCopied = 0;
    bytesCopied = 0;
    failureError = 0;
    progressText[0] = '\0';
    progressName = nullptr;
    quitReceived = false;
    lastMessageTick = GetTickCount();
    lastProgressTick = lastMessageTick - PassProgressInterval; // the first file shows at once
    CountCarriedFiles();
    HWND window = progressLabel != nullptr ? GetParent(progressLabel) : nullptr;
    FARPROC found = SystemFunction("user32.dll", "ShutdownBlockReasonCreate");
    if (window != nullptr && found != nullptr) {
        auto create = reinterpret_cast<ShutdownBlockReasonCreateFunction>(
            reinterpret_cast<void (*)()>(found));
        create(window, L"ゲームのファイルを更新しています。終わるまでお待ちください。");
    }
}

void SetupEngine::EndPass()
{
    HWND window = progressLabel != nullptr ? GetParent(progressLabel) : nullptr;
    FARPROC found = SystemFunction("user32.dll", "ShutdownBlockReasonDestroy");
    if (window != nullptr && found != nullptr) {
        auto destroy = reinterpret_cast<ShutdownBlockReasonDestroyFunction>(
            reinterpret_cast<void (*)()>(found));
        destroy(window);
    }
    passRunning = false;
    if (quitReceived)
        PostQuitMessage(static_cast<int>(quitCode));
}

void SetupEngine::RunUpdate()
{
    if (!LocateSourceRoot())
        return;
    BeginPass();
    bool finished = CopyUpdateFiles();
    while (!finished && AskAfterFailure())
        finished = CopyUpdateFiles();
    // Something carried by the update is not in place: no completion.
    ShowProgress();
    if (finished)
        MessageBoxA(ownerWindow, "アップデートが完了しました。", "終了", MB_OK | MB_ICONWARNING);
    EndPass();
}
