// Entry, host window and message loop of the updater.
#include "../engine/setup_engine.h"
#include "../product/product_config.h"
#include "../resources/resource_ids.h"
#include "pass_view.h"
#include "texts.h"
#include "update_dialog.h"

static HWND HostWindow;
static HINSTANCE Instance;

enum : int {
    HostNameCapacity = 256, // the system's limit for a class name; titles are far shorter
};

// The tool is run from download folders, where a planted DLL would otherwise be loaded
// on its behalf. SetDefaultDllDirectories is missing before Windows 7 with KB2533623.
static void RestrictDllSearchToSystem()
{
    typedef BOOL(WINAPI * SetDefaultDllDirectoriesFunction)(DWORD);
    FARPROC found = SystemFunction("kernel32.dll", "SetDefaultDllDirectories");
    if (found != nullptr) {
        auto setDefault =
            reinterpret_cast<SetDefaultDllDirectoriesFunction>(reinterpret_cast<void (*)()>(found));
        setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
    SetDllDirectoryW(L"");
}

static LRESULT CALLBACK HostWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    // While a pass runs: closing the host would destroy the dialog it owns with the pass on
    // the stack, and ending the session would leave the installation half updated.
    if (PassRunning() && message == WM_CLOSE)
        return 0;
    if (PassRunning() && message == WM_QUERYENDSESSION)
        return FALSE;
    return DefWindowProcW(window, message, wParam, lParam);
}

static bool RegisterHostWindowClass(HINSTANCE instance, const wchar_t *className)
{
    WNDCLASSW windowClass = {};
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = HostWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_PRODUCT));
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW); // an ordinal: no text involved
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    windowClass.lpszClassName = className;
    return RegisterClassW(&windowClass) != 0;
}

// Polls rather than waits: the quit message is already queued when the dialog has closed.
static int RunMessageLoop()
{
    MSG message;
    for (;;) {
        if (!PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
            continue;
        if (message.message == WM_QUIT)
            return static_cast<int>(message.wParam);
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

// Any other command line is ignored, as it always was.
static bool StartedThroughElevation(const char *commandLine)
{
    wchar_t argument[16];
    return MultiByteToWideChar(CP_ACP, 0, commandLine, -1, argument, 16) != 0 &&
           lstrcmpW(argument, ElevatedArgument) == 0;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previousInstance, LPSTR commandLine,
                   int showCommand)
{
    RestrictDllSearchToSystem();
    ElevatedCopy = StartedThroughElevation(commandLine);
    // Converted from CP932 as every text is: the taskbar shows the title as written on a
    // Windows of any display language, and the guard matches the same names on every one.
    wchar_t className[HostNameCapacity];
    wchar_t title[HostNameCapacity];
    ToScreenText(Product.hostWindowClassName, className, HostNameCapacity);
    ToScreenText(Product.productTitle, title, HostNameCapacity);
    // The copy that started an elevated one waits for it, its host window still there.
    if (!ElevatedCopy && FindWindowW(className, title) != nullptr)
        return 0;
    if (previousInstance == nullptr && !RegisterHostWindowClass(instance, className))
        return 0;
    HWND host = CreateWindowExW(0, className, title, WS_POPUP, CW_USEDEFAULT, CW_USEDEFAULT, 0, 0,
                                nullptr, nullptr, instance, nullptr);
    if (host == nullptr)
        return 0;
    ShowWindow(host, showCommand);
    HostWindow = host;
    Instance = instance;

    MainFiles[0] = Product.productExecutableName;
    Engine.Init(MainFiles, ExtraFiles, nullptr, Product.productFolderName);

    // A Unicode dialog: its template's texts reach the screen as written on any system.
    if (DialogBoxParamW(Instance, MAKEINTRESOURCEW(IDD_UPDATE), HostWindow, UpdateDialogProc, 0) ==
        -1)
        return 1; // no dialog: nothing would ever end the loop below
    return RunMessageLoop();
}
