#include "pass_view.h"

#include "../engine/setup_engine.h"
#include "texts.h"

#include <shellapi.h>

const wchar_t ElevatedArgument[] = L"/elevated";
bool ElevatedCopy;

// How often a pass lets the window answer, in milliseconds: well inside what the system
// waits before it calls a window not responding; and how often it redraws its progress,
// which costs far more than a look at the queue.
enum : DWORD {
    MessageInterval = 50,
    ProgressInterval = 250,
};

namespace {

struct DialogView {
    HWND dialog;
    HWND prompt;
    DWORD lastMessages;
    DWORD lastDrawn;
    bool drawnOnce;
    PassProgress latest;
    wchar_t shown[ComposedPathCapacity];
    // A quit message taken from the queue mid-pass is posted again when the pass ends.
    bool quitReceived;
    WPARAM quitCode;
    // A write into the installation was denied before anything changed: an elevated copy
    // is to run the pass. What the pass said, in case none can.
    bool elevationWanted;
    PassReport denied;
};

bool Running;

// The dialog stays disabled, so input does not reach it; what arrives is painting, the
// system's questions and close requests, which the dialog and the host window refuse while
// a pass runs.
void TakeMessages(DialogView &view)
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            view.quitReceived = true;
            view.quitCode = message.wParam;
            continue;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    view.lastMessages = GetTickCount();
}

void Draw(DialogView &view)
{
    // Before the first file is in hand the checks have nothing to show, and the first file
    // must show at once.
    if (view.latest.name == nullptr)
        return;
    view.lastDrawn = GetTickCount();
    view.drawnOnce = true;
    wchar_t text[ComposedPathCapacity];
    DescribeProgress(view.latest, text, ComposedPathCapacity);
    if (lstrcmpW(text, view.shown) == 0)
        return;
    lstrcpynW(view.shown, text, ComposedPathCapacity);
    SetWindowTextW(view.prompt, text);
}

void ShowProgress(void *context, const PassProgress &progress)
{
    DialogView &view = *static_cast<DialogView *>(context);
    view.latest = progress;
    // The first file shows at once; after that a glance at the clock per block is all the
    // copy pays.
    DWORD now = GetTickCount();
    if (!view.drawnOnce || now - view.lastDrawn >= ProgressInterval)
        Draw(view);
    if (now - view.lastMessages >= MessageInterval)
        TakeMessages(view);
}

void Pause(void *context, DWORD milliseconds)
{
    DialogView &view = *static_cast<DialogView *>(context);
    DWORD start = GetTickCount();
    for (;;) {
        if (GetTickCount() - view.lastDrawn >= ProgressInterval)
            Draw(view);
        TakeMessages(view);
        DWORD waited = GetTickCount() - start;
        if (waited >= milliseconds)
            return;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, milliseconds - waited, QS_ALLINPUT);
    }
}

// True on Retry.
bool ShowStop(DialogView &view, const PassReport &report)
{
    Draw(view); // behind the message, the prompt shows where the pass stopped
    wchar_t text[ScreenTextCapacity];
    DescribeStop(report, Engine.installFolder, text, ScreenTextCapacity, ElevatedCopy);
    UINT buttons = report.question ? MB_RETRYCANCEL | MB_DEFBUTTON1 : MB_OK;
    bool retry = ShowScreenMessage(view.dialog, text, FailureMessageCaption,
                                   buttons | MB_ICONWARNING) == IDRETRY;
    // The box gives its owner back its input as it closes; the pass may go on.
    EnableWindow(view.dialog, FALSE);
    return retry && report.question;
}

bool Stopped(void *context, const PassReport &report)
{
    DialogView &view = *static_cast<DialogView *>(context);
    // Only a write tells whether the folder needs elevation: where it can be written, nothing
    // is elevated. An elevated copy denied in turn says so rather than start another.
    if (!ElevatedCopy && !report.question && report.stop == StopAccessDenied && report.unchanged &&
        !report.undidInterrupted) {
        view.elevationWanted = true;
        view.denied = report;
        return false;
    }
    return ShowStop(view, report);
}

void Completed(void *context)
{
    DialogView &view = *static_cast<DialogView *>(context);
    Draw(view);
    ShowMessage(Engine.ownerWindow, CompletionMessage, CompletionMessageCaption,
                MB_OK | MB_ICONWARNING);
}

typedef BOOL(WINAPI *ShutdownBlockReasonCreateFunction)(HWND, LPCWSTR);
typedef BOOL(WINAPI *ShutdownBlockReasonDestroyFunction)(HWND);

void HoldOffSessionEnd(HWND window)
{
    FARPROC found = SystemFunction("user32.dll", "ShutdownBlockReasonCreate");
    if (found == nullptr)
        return;
    wchar_t reason[256];
    ToScreenText(SessionEndReason, reason, 256);
    auto create =
        reinterpret_cast<ShutdownBlockReasonCreateFunction>(reinterpret_cast<void (*)()>(found));
    create(window, reason);
}

void AllowSessionEnd(HWND window)
{
    FARPROC found = SystemFunction("user32.dll", "ShutdownBlockReasonDestroy");
    if (found == nullptr)
        return;
    auto destroy =
        reinterpret_cast<ShutdownBlockReasonDestroyFunction>(reinterpret_cast<void (*)()>(found));
    destroy(window);
}

typedef BOOL(WINAPI *ShellExecuteExFunction)(SHELLEXECUTEINFOW *);

// The tool again, through the elevation prompt, to run the pass in its place; this copy
// waits for it hidden, its windows answering, and ends with its exit code. Declined, or
// not started, the stop is told here.
int RunElevatedCopy(DialogView &view)
{
    // Loaded only here: a run that needs no elevation does not pay for the shell's start-up.
    // The system's own copy, as a known DLL.
    HMODULE shell = LoadLibraryW(L"shell32.dll");
    FARPROC found = shell != nullptr ? GetProcAddress(shell, "ShellExecuteExW") : nullptr;
    wchar_t exe[PathFieldCapacity];
    DWORD length = GetModuleFileNameW(nullptr, exe, PathFieldCapacity);
    SHELLEXECUTEINFOW launch = {};
    launch.cbSize = sizeof launch;
    launch.fMask = SEE_MASK_NOCLOSEPROCESS;
    launch.hwnd = view.dialog;
    launch.lpVerb = L"runas";
    launch.lpFile = exe;
    launch.lpParameters = ElevatedArgument;
    launch.nShow = SW_SHOWNORMAL;
    bool started =
        found != nullptr && length != 0 && length < PathFieldCapacity &&
        reinterpret_cast<ShellExecuteExFunction>(reinterpret_cast<void (*)()>(found))(&launch) &&
        launch.hProcess != nullptr;
    DWORD error = started ? ERROR_SUCCESS : GetLastError();
    if (shell != nullptr)
        FreeLibrary(shell);
    if (!started) {
        PassReport report = view.denied;
        if (error == ERROR_CANCELLED)
            report.stop = StopElevationDeclined;
        ShowStop(view, report);
        return 0;
    }
    ShowWindow(view.dialog, SW_HIDE);
    ShowWindow(GetWindow(view.dialog, GW_OWNER), SW_HIDE);
    while (MsgWaitForMultipleObjects(1, &launch.hProcess, FALSE, INFINITE, QS_ALLINPUT) !=
           WAIT_OBJECT_0)
        TakeMessages(view);
    DWORD exitCode = 0;
    GetExitCodeProcess(launch.hProcess, &exitCode);
    CloseHandle(launch.hProcess);
    return static_cast<int>(exitCode);
}

} // namespace

bool PassRunning()
{
    return Running;
}

int RunPassInDialog(HWND dialog, HWND prompt)
{
    DialogView state = {};
    state.dialog = dialog;
    state.prompt = prompt;
    state.lastMessages = GetTickCount();
    PassView view = {&state, ShowProgress, Pause, Stopped, Completed};
    Running = true;
    HoldOffSessionEnd(dialog);
    Engine.RunUpdate(view);
    // Waiting for the elevated copy counts as the pass: this copy's windows are not closed
    // under it.
    int exitCode = state.elevationWanted ? RunElevatedCopy(state) : 0;
    AllowSessionEnd(dialog);
    Running = false;
    if (state.quitReceived)
        PostQuitMessage(static_cast<int>(state.quitCode));
    return exitCode;
}
