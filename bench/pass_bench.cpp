// The update pass of the engine and its yardsticks, each timed inside one process, so that
// process start-up and the driver are outside every figure.
//
// usage: pass_bench MODE SOURCE_ROOT INSTALL_FOLDER LIST_FILE [MANIFEST_FILE]
//   pass     the updater's own dialog and pass view (updater_app) in this process: the
//            dialog is shown, Update is pressed, and the pass runs as in the exe up to the
//            completion message, which is closed once it is up. Like the exe, the pass takes
//            its files from beside this program: SOURCE_ROOT must be this program's folder.
//   quiet    the engine's plain pass with a view whose calls do nothing;
//   bound    the engine's pass of a bound update, the list read from MANIFEST_FILE, with a
//            view whose calls do nothing;
//   safe     CopyFileA into a temporary file beside the target, then MoveFileExA over it;
//   durable  the same with FlushFileBuffers on the temporary file before the rename;
//   hashed   durable, and one SHA-256 of the system (CryptoAPI) over each source file;
//   plain    CopyFileA over the target;
//   steps    the pass's own calls for each file, phase by phase, each step timed;
//   calls    the engine's plain pass as in quiet, each call it makes to the system for files
//            timed where it makes it (through this program's import table);
//   manifest writes the bound list of the files in SOURCE_ROOT to MANIFEST_FILE, as a
//            packer would (sizes, write times, SHA-256); INSTALL_FOLDER is not used.
// SOURCE_ROOT holds the product folder; LIST_FILE the names in the order the pass takes
// them (the yardsticks and steps follow it; the engine's modes walk the engine's own lists).
// Prints copy_ms=..., cpu_ms (this process's processor time over the same span), for quiet,
// bound and calls longest_silence_ms (the longest stretch in which the pass did not call its
// view, the end included) and last_silence_ms (from the last call to the end), for pass also
// box_ms (from the box's creation until it is up), for steps one line per step, and for
// calls one line per system function (count, total and longest ms, the file of the longest)
// and the calls within the longest stretch (their number and time, the slowest of them).
#include "../app/pass_view.h"
#include "../app/update_dialog.h"
#include "../engine/setup_engine.h"
#include "../product/product_config.h"
#include "../resources/resource_ids.h"

#include <io.h>
#include <share.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <vector>
#include <wincrypt.h>

namespace {

LARGE_INTEGER Frequency;

double Now()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(Frequency.QuadPart);
}

// The wall clock in milliseconds since 1970, to set moments beside the times of the files.
double UnixMilliseconds()
{
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    ULONGLONG ticks = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return static_cast<double>(ticks - 116444736000000000ull) / 10000.0;
}

// The processor time this process has used so far, in milliseconds.
double ProcessorTime()
{
    FILETIME created, ended, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user))
        return 0;
    ULONGLONG total =
        ((static_cast<ULONGLONG>(kernel.dwHighDateTime) << 32) | kernel.dwLowDateTime) +
        ((static_cast<ULONGLONG>(user.dwHighDateTime) << 32) | user.dwLowDateTime);
    return static_cast<double>(total) / 10000.0;
}

std::vector<std::string> ReadNames(const char *path)
{
    std::vector<std::string> names;
    FILE *list = fopen(path, "rb");
    if (list == nullptr)
        return names;
    char line[512];
    while (fgets(line, sizeof line, list) != nullptr) {
        line[strcspn(line, "\r\n")] = '\0';
        if (line[0] != '\0')
            names.push_back(line);
    }
    fclose(list);
    return names;
}

bool ReadWhole(const char *path, std::string &bytes)
{
    FILE *in = fopen(path, "rb");
    if (in == nullptr)
        return false;
    char block[4096];
    size_t got;
    while ((got = fread(block, 1, sizeof block, in)) > 0)
        bytes.append(block, got);
    fclose(in);
    return true;
}

std::string WithBackslashes(std::string path)
{
    for (char &c : path) {
        if (c == '/')
            c = '\\';
    }
    return path;
}

// The pass's own names for its temporaries, as this model's ANSI calls take them.
const char StagedName[] = ".qupdate-new";
const char AsideName[] = ".qupdate-old";

std::string FolderOfPath(const std::string &path)
{
    return path.substr(0, path.find_last_of('\\'));
}

void PrepareEngine(const char *sourceRoot, const char *installFolder)
{
    const char *mainNames[64];
    int count = 0;
    for (; MainFiles[count] != nullptr && count < 63; ++count)
        mainNames[count] = MainFiles[count];
    mainNames[0] = Product.productExecutableName;
    mainNames[count] = nullptr;
    CopyFileList(Engine.mainFiles, mainNames);
    CopyFileList(Engine.extraFiles, ExtraFiles);
    CopyBounded(Engine.folderName, sizeof Engine.folderName, Product.productFolderName);
    MultiByteToWideChar(CP_ACP, 0, sourceRoot, -1, Engine.sourceFolder, PathFieldCapacity);
    MultiByteToWideChar(CP_ACP, 0, installFolder, -1, Engine.installFolder, PathFieldCapacity);
    Engine.installed = 1;
}

HANDLE HandleOf(FILE *stream)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

// --- The pass's calls to the system, each timed where the pass makes it -------------------
//
// The engine is linked into this program, so its calls for files go through this program's
// import table. Pointed at the wrappers below, they time every call of the real pass on
// whatever drive it works, with no copy of its steps to keep in line with it.

enum Call {
    CallCreateFile,
    CallCloseHandle,
    CallReadFile,
    CallWriteFile,
    CallFlushFileBuffers,
    CallSetEndOfFile,
    CallSetFileTime,
    CallGetFileAttributes,
    CallGetFileAttributesEx,
    CallSetFileAttributes,
    CallGetDiskFreeSpaceEx,
    CallMoveFileEx,
    CallReplaceFile,
    CallDeleteFile,
    CallCopyFile,
    CallCreateHardLink,
    CallOpenStream,
    CallReadStream,
    CallCloseStream,
    CallCount
};
const char *const CallFunctions[CallCount] = {
    "CreateFileW",
    "CloseHandle",
    "ReadFile",
    "WriteFile",
    "FlushFileBuffers",
    "SetEndOfFile",
    "SetFileTime",
    "GetFileAttributesW",
    "GetFileAttributesExW",
    "SetFileAttributesW",
    "GetDiskFreeSpaceExW",
    "MoveFileExW",
    "ReplaceFileW",
    "DeleteFileW",
    "CopyFileW",
    "CreateHardLinkW",
    "_wfsopen",
    "fread",
    "fclose",
};

// The system's own function behind each wrapper; 0 where the program does not import it (the
// pass makes no such call).
ULONG_PTR RealCall[CallCount];

struct CallTimes {
    unsigned count;
    double total;
    double longest;
    char longestFile[64]; // the last part of the path the longest call was about, if known
};
CallTimes Calls[CallCount];

// The calls of a stretch without a view call: how many, their time, the slowest. Kept for the
// current stretch and the longest one.
struct Stretch {
    unsigned calls = 0;
    double callsMs = 0;
    int slowest = -1;
    double slowestMs = 0;
    char slowestFile[64] = "-";
};
Stretch CurrentStretch, LongestStretch;

void LastPartOf(const wchar_t *path, char *into, int capacity)
{
    const wchar_t *separator = wcsrchr(path, L'\\');
    const wchar_t *last = separator != nullptr ? separator + 1 : path;
    if (last[0] == L'\0' ||
        WideCharToMultiByte(CP_UTF8, 0, last, -1, into, capacity, nullptr, nullptr) == 0)
        lstrcpynA(into, "-", capacity);
}

// The files that handles are open on, asked of the system once per open file: the blocks read
// and written are not each a round trip to the Wine server. The pass has at most a few open.
struct NamedHandle {
    HANDLE file;
    char name[64];
};
NamedHandle NamedHandles[4];
unsigned NextNamedHandle;

void ForgetHandle(HANDLE file)
{
    for (NamedHandle &named : NamedHandles) {
        if (named.file == file)
            named.file = nullptr;
    }
}

// Asked only when a call is the longest so far of its kind or of its stretch.
void FileNameOf(const wchar_t *path, HANDLE file, char *into, int capacity)
{
    static wchar_t found[1024];
    lstrcpynA(into, "-", capacity);
    if (path != nullptr && path[0] != L'\0') {
        LastPartOf(path, into, capacity);
        return;
    }
    if (file == nullptr || file == INVALID_HANDLE_VALUE)
        return;
    for (const NamedHandle &named : NamedHandles) {
        if (named.file == file) {
            lstrcpynA(into, named.name, capacity);
            return;
        }
    }
    NamedHandle &named = NamedHandles[NextNamedHandle++ % 4];
    named.file = file;
    lstrcpynA(named.name, "-", sizeof named.name);
    if (GetFinalPathNameByHandleW(file, found, 1024, 0) - 1u < 1023u)
        LastPartOf(found, named.name, sizeof named.name);
    lstrcpynA(into, named.name, capacity);
}

// The wrapper's call has returned: its time is noted, and the system's error it left is kept
// for the pass.
void NoteCall(Call call, double begin, const wchar_t *path, HANDLE file)
{
    double took = Now() - begin;
    DWORD error = GetLastError();
    CallTimes &times = Calls[call];
    ++times.count;
    times.total += took;
    ++CurrentStretch.calls;
    CurrentStretch.callsMs += took;
    bool longestOfKind = took > times.longest;
    bool longestOfStretch = took > CurrentStretch.slowestMs;
    if (longestOfKind || longestOfStretch) {
        char name[64];
        FileNameOf(path, file, name, sizeof name);
        if (longestOfKind) {
            times.longest = took;
            lstrcpynA(times.longestFile, name, sizeof times.longestFile);
        }
        if (longestOfStretch) {
            CurrentStretch.slowest = call;
            CurrentStretch.slowestMs = took;
            lstrcpynA(CurrentStretch.slowestFile, name, sizeof CurrentStretch.slowestFile);
        }
    }
    SetLastError(error);
}

HANDLE WINAPI TimedCreateFile(LPCWSTR path, DWORD access, DWORD share,
                              LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                              HANDLE model)
{
    double begin = Now();
    HANDLE file = reinterpret_cast<decltype(&CreateFileW)>(RealCall[CallCreateFile])(
        path, access, share, security, disposition, flags, model);
    NoteCall(CallCreateFile, begin, path, nullptr);
    return file;
}

BOOL WINAPI TimedCloseHandle(HANDLE handle)
{
    ForgetHandle(handle);
    double begin = Now();
    BOOL done = reinterpret_cast<decltype(&CloseHandle)>(RealCall[CallCloseHandle])(handle);
    NoteCall(CallCloseHandle, begin, nullptr, nullptr);
    return done;
}

BOOL WINAPI TimedReadFile(HANDLE file, LPVOID bytes, DWORD size, LPDWORD got,
                          LPOVERLAPPED overlapped)
{
    double begin = Now();
    BOOL done = reinterpret_cast<decltype(&ReadFile)>(RealCall[CallReadFile])(file, bytes, size,
                                                                              got, overlapped);
    NoteCall(CallReadFile, begin, nullptr, file);
    return done;
}

BOOL WINAPI TimedWriteFile(HANDLE file, LPCVOID bytes, DWORD size, LPDWORD written,
                           LPOVERLAPPED overlapped)
{
    double begin = Now();
    BOOL done = reinterpret_cast<decltype(&WriteFile)>(RealCall[CallWriteFile])(
        file, bytes, size, written, overlapped);
    NoteCall(CallWriteFile, begin, nullptr, file);
    return done;
}

BOOL WINAPI TimedFlushFileBuffers(HANDLE file)
{
    double begin = Now();
    BOOL done = reinterpret_cast<decltype(&FlushFileBuffers)>(RealCall[CallFlushFileBuffers])(file);
    NoteCall(CallFlushFileBuffers, begin, nullptr, file);
    return done;
}

// Cutting a file shorter frees its clusters there and then, as removing it does.
BOOL WINAPI TimedSetEndOfFile(HANDLE file)
{
    double begin = Now();
    BOOL done = reinterpret_cast<decltype(&SetEndOfFile)>(RealCall[CallSetEndOfFile])(file);
    NoteCall(CallSetEndOfFile, begin, nullptr, file);
    return done;
}

BOOL WINAPI TimedSetFileTime(HANDLE file, const FILETIME *created, const FILETIME *accessed,
                             const FILETIME *written)
{
    double begin = Now();
    BOOL done = reinterpret_cast<decltype(&SetFileTime)>(RealCall[CallSetFileTime])(
        file, created, accessed, written);
    NoteCall(CallSetFileTime, begin, nullptr, file);
    return done;
}

DWORD WINAPI TimedGetFileAttributes(LPCWSTR path)
{
    double begin = Now();
    DWORD attributes =
        reinterpret_cast<decltype(&GetFileAttributesW)>(RealCall[CallGetFileAttributes])(path);
    NoteCall(CallGetFileAttributes, begin, path, nullptr);
    return attributes;
}

BOOL WINAPI TimedGetFileAttributesEx(LPCWSTR path, GET_FILEEX_INFO_LEVELS level, LPVOID data)
{
    double begin = Now();
    BOOL done = reinterpret_cast<decltype(&GetFileAttributesExW)>(
        RealCall[CallGetFileAttributesEx])(path, level, data);
    NoteCall(CallGetFileAttributesEx, begin, path, nullptr);
    return done;
}

BOOL WINAPI TimedSetFileAttributes(LPCWSTR path, DWORD attributes)
{
    double begin = Now();
    BOOL done = reinterpret_cast<decltype(&SetFileAttributesW)>(RealCall[CallSetFileAttributes])(
        path, attributes);
    NoteCall(CallSetFileAttributes, begin, path, nullptr);
    return done;
}

BOOL WINAPI TimedGetDiskFreeSpaceEx(LPCWSTR path, PULARGE_INTEGER available, PULARGE_INTEGER total,
                                    PULARGE_INTEGER free)
{
    double begin = Now();
    BOOL done = reinterpret_cast<decltype(&GetDiskFreeSpaceExW)>(RealCall[CallGetDiskFreeSpaceEx])(
        path, available, total, free);
    NoteCall(CallGetDiskFreeSpaceEx, begin, path, nullptr);
    return done;
}

BOOL WINAPI TimedMoveFileEx(LPCWSTR from, LPCWSTR to, DWORD flags)
{
    double begin = Now();
    BOOL done = reinterpret_cast<decltype(&MoveFileExW)>(RealCall[CallMoveFileEx])(from, to, flags);
    NoteCall(CallMoveFileEx, begin, from, nullptr);
    return done;
}

BOOL WINAPI TimedReplaceFile(LPCWSTR replaced, LPCWSTR replacement, LPCWSTR backup, DWORD flags,
                             LPVOID exclude, LPVOID reserved)
{
    double begin = Now();
    BOOL done = reinterpret_cast<decltype(&ReplaceFileW)>(RealCall[CallReplaceFile])(
        replaced, replacement, backup, flags, exclude, reserved);
    NoteCall(CallReplaceFile, begin, replaced, nullptr);
    return done;
}

BOOL WINAPI TimedDeleteFile(LPCWSTR path)
{
    double begin = Now();
    BOOL done = reinterpret_cast<decltype(&DeleteFileW)>(RealCall[CallDeleteFile])(path);
    NoteCall(CallDeleteFile, begin, path, nullptr);
    return done;
}

BOOL WINAPI TimedCopyFile(LPCWSTR from, LPCWSTR to, BOOL failIfThere)
{
    double begin = Now();
    BOOL done =
        reinterpret_cast<decltype(&CopyFileW)>(RealCall[CallCopyFile])(from, to, failIfThere);
    NoteCall(CallCopyFile, begin, from, nullptr);
    return done;
}

BOOL WINAPI TimedCreateHardLink(LPCWSTR link, LPCWSTR existing, LPSECURITY_ATTRIBUTES security)
{
    double begin = Now();
    BOOL done = reinterpret_cast<decltype(&CreateHardLinkW)>(RealCall[CallCreateHardLink])(
        link, existing, security);
    NoteCall(CallCreateHardLink, begin, existing, nullptr);
    return done;
}

FILE *__cdecl TimedOpenStream(const wchar_t *path, const wchar_t *mode, int share)
{
    double begin = Now();
    FILE *stream =
        reinterpret_cast<decltype(&_wfsopen)>(RealCall[CallOpenStream])(path, mode, share);
    NoteCall(CallOpenStream, begin, path, nullptr);
    return stream;
}

size_t __cdecl TimedReadStream(void *bytes, size_t size, size_t count, FILE *stream)
{
    double begin = Now();
    size_t got =
        reinterpret_cast<decltype(&fread)>(RealCall[CallReadStream])(bytes, size, count, stream);
    NoteCall(CallReadStream, begin, nullptr, HandleOf(stream));
    return got;
}

int __cdecl TimedCloseStream(FILE *stream)
{
    ForgetHandle(HandleOf(stream));
    double begin = Now();
    int closed = reinterpret_cast<decltype(&fclose)>(RealCall[CallCloseStream])(stream);
    NoteCall(CallCloseStream, begin, nullptr, nullptr);
    return closed;
}

// Points this program's import of a function at its wrapper, keeping the system's own; false
// when the program does not import it.
bool Redirect(const char *function, ULONG_PTR wrapper, ULONG_PTR &real)
{
    BYTE *base = reinterpret_cast<BYTE *>(GetModuleHandleA(nullptr));
    const IMAGE_NT_HEADERS *headers = reinterpret_cast<const IMAGE_NT_HEADERS *>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER *>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY &imports =
        headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    const IMAGE_IMPORT_DESCRIPTOR *module =
        reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR *>(base + imports.VirtualAddress);
    for (; imports.VirtualAddress != 0 && module->Name != 0; ++module) {
        const IMAGE_THUNK_DATA *names =
            reinterpret_cast<const IMAGE_THUNK_DATA *>(base + module->OriginalFirstThunk);
        IMAGE_THUNK_DATA *slots = reinterpret_cast<IMAGE_THUNK_DATA *>(base + module->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            const IMAGE_IMPORT_BY_NAME *byName =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME *>(base + names->u1.AddressOfData);
            if (strcmp(reinterpret_cast<const char *>(byName->Name), function) != 0)
                continue;
            DWORD protection = 0;
            if (!VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE,
                                &protection))
                return false;
            real = static_cast<ULONG_PTR>(slots->u1.Function);
            slots->u1.Function = wrapper;
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, protection, &protection);
            return true;
        }
    }
    return false;
}

void TimeSystemCalls()
{
    const ULONG_PTR wrappers[CallCount] = {
        reinterpret_cast<ULONG_PTR>(TimedCreateFile),
        reinterpret_cast<ULONG_PTR>(TimedCloseHandle),
        reinterpret_cast<ULONG_PTR>(TimedReadFile),
        reinterpret_cast<ULONG_PTR>(TimedWriteFile),
        reinterpret_cast<ULONG_PTR>(TimedFlushFileBuffers),
        reinterpret_cast<ULONG_PTR>(TimedSetEndOfFile),
        reinterpret_cast<ULONG_PTR>(TimedSetFileTime),
        reinterpret_cast<ULONG_PTR>(TimedGetFileAttributes),
        reinterpret_cast<ULONG_PTR>(TimedGetFileAttributesEx),
        reinterpret_cast<ULONG_PTR>(TimedSetFileAttributes),
        reinterpret_cast<ULONG_PTR>(TimedGetDiskFreeSpaceEx),
        reinterpret_cast<ULONG_PTR>(TimedMoveFileEx),
        reinterpret_cast<ULONG_PTR>(TimedReplaceFile),
        reinterpret_cast<ULONG_PTR>(TimedDeleteFile),
        reinterpret_cast<ULONG_PTR>(TimedCopyFile),
        reinterpret_cast<ULONG_PTR>(TimedCreateHardLink),
        reinterpret_cast<ULONG_PTR>(TimedOpenStream),
        reinterpret_cast<ULONG_PTR>(TimedReadStream),
        reinterpret_cast<ULONG_PTR>(TimedCloseStream),
    };
    for (int call = 0; call < CallCount; ++call) {
        if (!Redirect(CallFunctions[call], wrappers[call], RealCall[call]))
            RealCall[call] = 0;
    }
}

// A view that nobody watches: no messages, no progress. It notes the longest stretch without
// a call, in which a view could not have let the window answer, and the slowest system call in
// that stretch where calls are timed.
double LastViewCall, LongestSilence;
void NoteViewCall()
{
    double now = Now();
    if (now - LastViewCall > LongestSilence) {
        LongestSilence = now - LastViewCall;
        LongestStretch = CurrentStretch;
    }
    CurrentStretch = Stretch();
    LastViewCall = now;
}
void NoProgress(void *, const PassProgress &)
{
    NoteViewCall();
}
void NoPause(void *, DWORD milliseconds)
{
    Sleep(milliseconds);
}
bool NoRetry(void *, const PassReport &report)
{
    fprintf(stderr, "pass stopped: %u on %s, error %lu\n", report.stop,
            report.name != nullptr ? report.name : "-", report.error);
    return false;
}
void NoCompletion(void *) {}

// --- The dialog, pressed and watched from inside its own thread --------------------------

HWND Dialog;
double Pressed, BoxCreated, BoxUp;
double PressedUnix, BoxCreatedUnix;
double PressedProcessor, BoxCreatedProcessor;
HWND Box;
HHOOK Watch;

bool IsDialogBox(HWND window)
{
    char name[16];
    return GetClassNameA(window, name, sizeof name) > 0 && strcmp(name, "#32770") == 0;
}

// Runs once the box's own message loop is idle: the box is up and painted.
void CALLBACK CloseShownBox(HWND, UINT, UINT_PTR timer, DWORD)
{
    KillTimer(nullptr, timer);
    BoxUp = Now();
    PostMessageA(Box, WM_COMMAND, IDOK, 0);
}

// Likewise for the dialog: once it is up, Update is pressed as the driver presses it.
void CALLBACK PressUpdate(HWND, UINT, UINT_PTR timer, DWORD)
{
    KillTimer(nullptr, timer);
    Pressed = Now();
    PressedUnix = UnixMilliseconds();
    PressedProcessor = ProcessorTime();
    PostMessageA(GetDlgItem(Dialog, IDC_UPDATE_BUTTON), BM_CLICK, 0, 0);
}

// The first dialog box is the updater's; the next one, once Update is pressed, the
// completion message, whose creation ends the pass.
LRESULT CALLBACK WatchWindows(int code, WPARAM wParam, LPARAM lParam)
{
    HWND window = reinterpret_cast<HWND>(wParam);
    if (code == HCBT_CREATEWND && Pressed > 0 && BoxCreated == 0 && IsDialogBox(window)) {
        BoxCreated = Now();
        BoxCreatedUnix = UnixMilliseconds();
        BoxCreatedProcessor = ProcessorTime();
    }
    if (code == HCBT_ACTIVATE && IsDialogBox(window)) {
        if (Dialog == nullptr) {
            Dialog = window;
            SetTimer(nullptr, 0, 1, PressUpdate);
        } else if (window != Dialog && Box == nullptr) {
            Box = window;
            SetTimer(nullptr, 0, 1, CloseShownBox);
        }
    }
    return CallNextHookEx(Watch, code, wParam, lParam);
}

// As WinMain runs it, with a host window that owns the dialog.
bool RunDialogPass()
{
    HINSTANCE instance = GetModuleHandleA(nullptr);
    HWND host = CreateWindowExA(0, "Static", Product.productTitle, WS_POPUP, CW_USEDEFAULT,
                                CW_USEDEFAULT, 0, 0, nullptr, nullptr, instance, nullptr);
    ShowWindow(host, SW_SHOWNORMAL);
    Watch = SetWindowsHookExA(WH_CBT, WatchWindows, nullptr, GetCurrentThreadId());
    DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_UPDATE), host, UpdateDialogProc, 0);
    UnhookWindowsHookEx(Watch);
    DestroyWindow(host);
    return BoxUp > 0;
}

bool SameFolder(const char *a, const char *b)
{
    char full[2][MAX_PATH];
    return GetFullPathNameA(a, MAX_PATH, full[0], nullptr) != 0 &&
           GetFullPathNameA(b, MAX_PATH, full[1], nullptr) != 0 && lstrcmpiA(full[0], full[1]) == 0;
}

// --- Yardsticks ------------------------------------------------------------------------

struct Hasher {
    HCRYPTPROV provider = 0;
    ~Hasher()
    {
        if (provider != 0)
            CryptReleaseContext(provider, 0);
    }
    bool Start()
    {
        return CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_AES,
                                    CRYPT_VERIFYCONTEXT | CRYPT_SILENT) != 0;
    }
    // SHA-256 of a whole file, read in the pass's block size.
    bool OfFile(const char *path, BYTE *digest)
    {
        HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return false;
        HCRYPTHASH hash = 0;
        bool good = CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash) != 0;
        DWORD got = 0;
        while (good && ReadFile(file, CopyBuffer, CopyBlockSize, &got, nullptr) && got > 0)
            good = CryptHashData(hash, CopyBuffer, got, 0) != 0;
        DWORD size = DigestSize;
        good = good && CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0) && size == DigestSize;
        if (hash != 0)
            CryptDestroyHash(hash);
        CloseHandle(file);
        return good;
    }
};

bool FlushFile(const char *path)
{
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bool flushed = FlushFileBuffers(file) != 0;
    CloseHandle(file);
    return flushed;
}

enum Yardstick { Plain, Safe, Durable, Hashed };

int CopyWithYardstick(const std::vector<std::string> &names, const std::string &source,
                      const std::string &destination, Yardstick kind)
{
    Hasher hasher;
    if (kind == Hashed && !hasher.Start())
        return static_cast<int>(names.size());
    int failures = 0;
    for (const std::string &name : names) {
        std::string from = source + "\\" + WithBackslashes(name);
        std::string to = destination + "\\" + WithBackslashes(name);
        if (kind == Plain) {
            failures += !CopyFileA(from.c_str(), to.c_str(), FALSE);
            continue;
        }
        BYTE digest[DigestSize];
        if (kind == Hashed && !hasher.OfFile(from.c_str(), digest)) {
            ++failures;
            continue;
        }
        char temporary[MAX_PATH];
        DWORD moveFlags = MOVEFILE_REPLACE_EXISTING;
        if (kind != Safe)
            moveFlags |= MOVEFILE_WRITE_THROUGH;
        if (GetTempFileNameA(FolderOfPath(to).c_str(), "qup", 0, temporary) == 0 ||
            !CopyFileA(from.c_str(), temporary, FALSE) || (kind != Safe && !FlushFile(temporary)) ||
            !MoveFileExA(temporary, to.c_str(), moveFlags)) {
            DeleteFileA(temporary);
            ++failures;
        }
    }
    return failures;
}

// The bound list as the packer writes it: a header, then one 176-byte entry a file.
bool WriteManifest(const std::vector<std::string> &names, const std::string &source,
                   const char *path)
{
    Hasher hasher;
    if (!hasher.Start())
        return false;
    std::vector<BoundFile> files;
    for (const std::string &name : names) {
        std::string from = source + "\\" + WithBackslashes(name);
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExA(from.c_str(), GetFileExInfoStandard, &data))
            continue;
        BoundFile file = {};
        CopyBounded(file.name, sizeof file.name, name.c_str());
        file.size = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        file.written = data.ftLastWriteTime;
        if (!hasher.OfFile(from.c_str(), file.digest))
            return false;
        files.push_back(file);
    }
    FILE *out = fopen(path, "wb");
    if (out == nullptr)
        return false;
    DWORD header[2] = {static_cast<DWORD>(files.size()), sizeof(BoundFile)};
    bool written = fwrite("QUPDMAN1", 1, 8, out) == 8 &&
                   fwrite(header, sizeof header, 1, out) == 1 &&
                   fwrite(files.data(), sizeof(BoundFile), files.size(), out) == files.size();
    return fclose(out) == 0 && written;
}

// --- The pass's calls, one by one ------------------------------------------------------

enum Step {
    StepChecks,
    StepOpen,
    StepRead,
    StepWrite,
    StepFlushSlices,
    StepTimes,
    StepFinalFlush,
    StepClose,
    StepAside,
    StepReplace,
    StepFinish,
    StepCount
};
const char *const StepNames[StepCount] = {
    "checks and leftovers (attributes, exclusive open, deletes)",
    "open source and staged file (_fsopen, setvbuf)",
    "read blocks (fread)",
    "write blocks (WriteFile)",
    "flush every 8 MiB (FlushFileBuffers)",
    "times on the staged handle (GetFileTime, SetFileTime)",
    "final flush (FlushFileBuffers)",
    "close both streams",
    "old file aside (attributes, DELETE probe, CreateHardLinkA)",
    "replace (MoveFileExA, write-through)",
    "finish (creation time, remove aside)",
};

struct Timer {
    double *spent;
    double last;
    explicit Timer(double *into) : spent(into), last(Now()) {}
    void Charge(Step step)
    {
        double now = Now();
        spent[step] += now - last;
        last = now;
    }
};

// The calls of the pass for files that are all carried and all replace an installed one, in
// its phases: checks, staging every file, renames, finishing.
int CopyInSteps(const std::vector<std::string> &names, const std::string &source,
                const std::string &destination, double *spent, ULONGLONG flushSlice)
{
    int failures = 0;
    size_t count = names.size();
    std::vector<std::string> from(count), to(count);
    std::vector<FILETIME> created(count);
    std::vector<bool> hadOld(count);
    for (size_t i = 0; i < count; ++i) {
        from[i] = source + "\\" + names[i];
        to[i] = destination + "\\" + names[i];
    }
    Timer timer(spent);
    for (size_t i = 0; i < count; ++i) {
        std::string staged = to[i] + StagedName, aside = to[i] + AsideName;
        DeleteFileA(staged.c_str());
        GetFileAttributesA(aside.c_str());
        DeleteFileA(aside.c_str());
        WIN32_FILE_ATTRIBUTE_DATA data;
        GetFileAttributesExA(from[i].c_str(), GetFileExInfoStandard, &data);
        GetFileAttributesA(FolderOfPath(WithBackslashes(to[i])).c_str());
        hadOld[i] = GetFileAttributesA(to[i].c_str()) != INVALID_FILE_ATTRIBUTES;
    }
    ULARGE_INTEGER available;
    GetDiskFreeSpaceExA((destination + "\\").c_str(), &available, nullptr, nullptr);
    for (size_t i = 0; i < count; ++i) {
        if (!hadOld[i])
            continue;
        HANDLE probe = CreateFileA(to[i].c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
        if (probe != INVALID_HANDLE_VALUE)
            CloseHandle(probe);
    }
    timer.Charge(StepChecks);

    for (size_t i = 0; i < count; ++i) {
        std::string staged = to[i] + StagedName;
        FILE *in = _fsopen(from[i].c_str(), "rb", _SH_DENYWR);
        FILE *out = _fsopen(staged.c_str(), "wb", _SH_DENYRW);
        if (in == nullptr || out == nullptr) {
            ++failures;
            if (in != nullptr)
                fclose(in);
            if (out != nullptr)
                fclose(out);
            continue;
        }
        setvbuf(in, nullptr, _IONBF, 0);
        setvbuf(out, nullptr, _IONBF, 0);
        timer.Charge(StepOpen);
        ULONGLONG unflushed = 0;
        for (;;) {
            size_t got = fread(CopyBuffer, 1, CopyBlockSize, in);
            timer.Charge(StepRead);
            DWORD written = 0;
            failures +=
                !WriteFile(HandleOf(out), CopyBuffer, static_cast<DWORD>(got), &written, nullptr);
            unflushed += got;
            timer.Charge(StepWrite);
            if (flushSlice != 0 && unflushed >= flushSlice) {
                FlushFileBuffers(HandleOf(out));
                unflushed = 0;
                timer.Charge(StepFlushSlices);
            }
            if (got < CopyBlockSize)
                break;
        }
        FILETIME accessed, written;
        GetFileTime(HandleOf(in), &created[i], &accessed, &written);
        SetFileTime(HandleOf(out), &created[i], &accessed, &written);
        timer.Charge(StepTimes);
        FlushFileBuffers(HandleOf(out));
        timer.Charge(StepFinalFlush);
        fclose(in);
        fclose(out);
        timer.Charge(StepClose);
    }

    for (size_t i = 0; i < count; ++i) {
        std::string staged = to[i] + StagedName, aside = to[i] + AsideName;
        if (GetFileAttributesA(to[i].c_str()) != INVALID_FILE_ATTRIBUTES)
            SetFileAttributesA(to[i].c_str(), FILE_ATTRIBUTE_NORMAL);
        if (hadOld[i]) {
            HANDLE probe = CreateFileA(to[i].c_str(), DELETE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (probe != INVALID_HANDLE_VALUE)
                CloseHandle(probe);
            DeleteFileA(aside.c_str());
            failures += !CreateHardLinkA(aside.c_str(), to[i].c_str(), nullptr);
        }
        timer.Charge(StepAside);
        failures += !MoveFileExA(staged.c_str(), to[i].c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        timer.Charge(StepReplace);
    }

    for (size_t i = 0; i < count; ++i) {
        HANDLE file = CreateFileA(to[i].c_str(), FILE_WRITE_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            SetFileTime(file, &created[i], nullptr, nullptr);
            CloseHandle(file);
        }
        if (hadOld[i])
            DeleteFileA((to[i] + AsideName).c_str());
    }
    timer.Charge(StepFinish);
    return failures;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 5 && argc != 6) {
        fprintf(stderr, "usage: pass_bench MODE SOURCE_ROOT INSTALL_FOLDER LIST_FILE "
                        "[MANIFEST_FILE]\n");
        return 2;
    }
    QueryPerformanceFrequency(&Frequency);
    const std::string mode = argv[1];
    const std::string source = std::string(argv[2]) + "\\" + Product.productFolderName;
    std::vector<std::string> names = ReadNames(argv[4]);
    if (names.empty()) {
        fprintf(stderr, "no names in %s\n", argv[4]);
        return 2;
    }
    if ((mode == "bound" || mode == "manifest") && argc != 6) {
        fprintf(stderr, "%s needs MANIFEST_FILE\n", mode.c_str());
        return 2;
    }
    if (mode == "manifest")
        return WriteManifest(names, source, argv[5]) ? 0 : 1;
    std::string manifest;
    if (mode == "bound" && !ReadWhole(argv[5], manifest)) {
        fprintf(stderr, "cannot read %s\n", argv[5]);
        return 2;
    }
    if (mode == "pass") {
        char own[MAX_PATH];
        DWORD length = GetModuleFileNameA(nullptr, own, MAX_PATH);
        if (length == 0 || length >= MAX_PATH || strrchr(own, '\\') == nullptr ||
            (*strrchr(own, '\\') = '\0', !SameFolder(own, argv[2]))) {
            fprintf(stderr, "pass: this program must lie in %s\n", argv[2]);
            return 2;
        }
    }
    // 8 MiB as the pass, or another slice for the steps (0: only at the end of each file),
    // to see what the slice costs.
    ULONGLONG flushSlice = 8u << 20;
    if (const char *slice = getenv("PASS_BENCH_FLUSH_MIB"))
        flushSlice = static_cast<ULONGLONG>(atoi(slice)) << 20;
    if (mode == "pass" || mode == "quiet" || mode == "bound" || mode == "calls")
        PrepareEngine(argv[2], argv[3]);
    if (mode == "calls")
        TimeSystemCalls();
    PassView quiet = {nullptr, NoProgress, NoPause, NoRetry, NoCompletion};
    double spent[StepCount] = {};
    int failures = 0;
    double processorBefore = ProcessorTime();
    double begin = Now();
    LastViewCall = begin;
    if (mode == "pass") {
        failures = !RunDialogPass();
        begin = Pressed;
    } else if (mode == "quiet" || mode == "calls") {
        failures = !Engine.UpdateInstallation(quiet, nullptr, 0);
    } else if (mode == "bound") {
        failures =
            !Engine.UpdateInstallation(quiet, manifest.data(), static_cast<DWORD>(manifest.size()));
    } else if (mode == "safe" || mode == "durable" || mode == "hashed" || mode == "plain") {
        Yardstick kind = mode == "safe"      ? Safe
                         : mode == "durable" ? Durable
                         : mode == "hashed"  ? Hashed
                                             : Plain;
        failures = CopyWithYardstick(names, source, argv[3], kind);
    } else if (mode == "steps") {
        failures = CopyInSteps(names, source, argv[3], spent, flushSlice);
    } else {
        fprintf(stderr, "unknown mode %s\n", mode.c_str());
        return 2;
    }
    double end = mode == "pass" ? BoxCreated : Now();
    double processor =
        mode == "pass" ? BoxCreatedProcessor - PressedProcessor : ProcessorTime() - processorBefore;
    printf("copy_ms=%.1f\nfiles=%u\nfailures=%d\ncpu_ms=%.0f\n", end - begin,
           static_cast<unsigned>(names.size()), failures, processor);
    if (mode == "quiet" || mode == "bound" || mode == "calls") {
        double lastStretch = end - LastViewCall;
        NoteViewCall();
        printf("longest_silence_ms=%.1f\nlast_silence_ms=%.1f\n", LongestSilence, lastStretch);
    }
    if (mode == "calls") {
        for (int call = 0; call < CallCount; ++call) {
            if (RealCall[call] != 0)
                printf("call %s %u %.1f %.1f %s\n", CallFunctions[call], Calls[call].count,
                       Calls[call].total, Calls[call].longest,
                       Calls[call].count != 0 ? Calls[call].longestFile : "-");
        }
        const Stretch &longest = LongestStretch;
        printf("silence_calls=%u %.1f\nsilence_slowest_call=%s %.1f %s\n", longest.calls,
               longest.callsMs, longest.slowest >= 0 ? CallFunctions[longest.slowest] : "-",
               longest.slowestMs, longest.slowestFile);
    }
    if (mode == "pass")
        printf("box_ms=%.1f\npressed_unix_ms=%.1f\nbox_created_unix_ms=%.1f\n", BoxUp - BoxCreated,
               PressedUnix, BoxCreatedUnix);
    if (mode == "steps") {
        for (int step = 0; step < StepCount; ++step)
            printf("step %d %.1f %s\n", step, spent[step], StepNames[step]);
    }
    return failures == 0 ? 0 : 1;
}
