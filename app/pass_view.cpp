#include "pass_view.h"

#include "../engine/setup_engine.h"
#include "texts.h"

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

bool Stopped(void *context, const PassReport &report)
{
    DialogView &view = *static_cast<DialogView *>(context);
    Draw(view); // behind the message, the prompt shows where the pass stopped
    wchar_t text[ScreenTextCapacity];
    DescribeStop(report, Engine.installFolder, text, ScreenTextCapacity);
    UINT buttons = report.question ? MB_RETRYCANCEL | MB_DEFBUTTON1 : MB_OK;
    bool retry = ShowScreenMessage(view.dialog, text, FailureMessageCaption,
                                   buttons | MB_ICONWARNING) == IDRETRY;
    // The box gives its owner back its input as it closes; the pass may go on.
    EnableWindow(view.dialog, FALSE);
    return retry && report.question;
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

} // namespace

bool PassRunning()
{
    return Running;
}

void RunPassInDialog(HWND dialog, HWND prompt)
{
    DialogView state = {};
    state.dialog = dialog;
    state.prompt = prompt;
    state.lastMessages = GetTickCount();
    PassView view = {&state, ShowProgress, Pause, Stopped, Completed};
    Running = true;
    HoldOffSessionEnd(dialog);
    Engine.RunUpdate(view);
    AllowSessionEnd(dialog);
    Running = false;
    if (state.quitReceived)
        PostQuitMessage(static_cast<int>(state.quitCode));
}
