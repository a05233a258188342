#include "update_dialog.h"

#include "../product/product_config.h"
#include "../resources/resource_ids.h"
#include "../engine/setup_engine.h"
#include "pass_view.h"
#include "texts.h"

POINT CentredOrigin(const RECT &workArea, int width, int height)
{
    POINT origin;
    origin.x = (workArea.left + workArea.right - width) >> 1;
    origin.y = (workArea.top + workArea.bottom - height) >> 1;
    return origin;
}

static void InitUpdateDialog(HWND dialog)
{
    char prompt[256];
    wsprintfA(prompt, PromptText, Product.productTitle);
    SetScreenText(GetDlgItem(dialog, IDC_PROMPT), prompt);

    char caption[64];
    wsprintfA(caption, CaptionText, Product.productTitle);
    wchar_t screenCaption[64];
    ToScreenText(caption, screenCaption, 64);
    SendMessageW(dialog, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(screenCaption));

    RECT workArea;
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &workArea, 0);
    RECT frame;
    GetWindowRect(dialog, &frame);
    int width = frame.right - frame.left;
    int height = frame.bottom - frame.top;
    POINT origin = CentredOrigin(workArea, width, height);
    MoveWindow(dialog, origin.x, origin.y, width, height, TRUE);
}

static void CloseAndQuit(HWND dialog, int exitCode)
{
    EndDialog(dialog, IDCANCEL);
    PostQuitMessage(exitCode);
}

static void OnUpdatePressed(HWND dialog)
{
    if (!Engine.installed) {
        ShowMessage(dialog, RefusalMessage, RefusalMessageCaption, MB_OK | MB_ICONWARNING);
        return;
    }
    // The completion message has no owner; without this a second press would start a
    // second pass while the first is still on the stack.
    EnableWindow(dialog, FALSE);
    CloseAndQuit(dialog, RunPassInDialog(dialog, GetDlgItem(dialog, IDC_PROMPT)));
}

INT_PTR CALLBACK UpdateDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        InitUpdateDialog(dialog);
        // The user already said Update to the copy that started this one. Shown first: the
        // dialog manager would show it only once the queue is empty, after the pass.
        if (ElevatedCopy) {
            ShowWindow(dialog, SW_SHOWNORMAL);
            PostMessageW(dialog, WM_COMMAND, IDC_UPDATE_BUTTON, 0);
        }
        return TRUE; // the focus goes to the first tab stop, Update
    case WM_QUERYENDSESSION:
        if (!PassRunning())
            return FALSE;
        // Ending the session now would leave the installation half updated.
        SetWindowLongPtrW(dialog, DWLP_MSGRESULT, FALSE);
        return TRUE;
    case WM_COMMAND:
        // The pass takes messages while it runs: a close request (turned into Cancel by the
        // dialog manager) or a click must neither end it midway nor start another.
        if (PassRunning())
            return TRUE;
        switch (LOWORD(wParam)) {
        case IDCANCEL:
            CloseAndQuit(dialog, 0);
            break;
        case IDC_UPDATE_BUTTON:
            OnUpdatePressed(dialog);
            break;
        }
        return TRUE;
    case WM_CTLCOLORSTATIC:
        return TRUE;
    }
    return FALSE;
}
