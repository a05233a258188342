#include "driver_support.h"

#include "../../product/product_config.h"

#include <gtest/gtest.h>

std::string UpdaterExe;
std::string ShotsFolder;

const char RefusalText[] =
    "インストールがされてませんでした。\nインストールを行ってからアップデートしてください。";
const char RefusalCaption[] = "確認";
const char CompletionText[] = "アップデートが完了しました。";
const char CompletionCaption[] = "終了";

std::string Utf8(const std::string &cp932)
{
    if (cp932.empty())
        return cp932;
    int wide =
        MultiByteToWideChar(932, 0, cp932.data(), static_cast<int>(cp932.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(wide), L'\0');
    MultiByteToWideChar(932, 0, cp932.data(), static_cast<int>(cp932.size()), &text[0], wide);
    int narrow = WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(narrow), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, &utf8[0], narrow, nullptr, nullptr);
    return utf8;
}

std::string ClassOf(HWND window)
{
    char name[256];
    int length = GetClassNameA(window, name, sizeof name);
    return std::string(name, length > 0 ? static_cast<size_t>(length) : 0);
}

std::string TextOf(HWND window)
{
    char text[1024];
    int length = GetWindowTextA(window, text, sizeof text);
    return std::string(text, length > 0 ? static_cast<size_t>(length) : 0);
}

std::string ItemTextOf(HWND dialog, int id)
{
    char text[1024];
    UINT length = GetDlgItemTextA(dialog, id, text, sizeof text);
    return std::string(text, length);
}

void PumpOwnMessages()
{
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

void Pause(DWORD milliseconds)
{
    PumpOwnMessages();
    Sleep(milliseconds);
}

namespace {

struct WindowsOfProcess {
    DWORD processId;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectWindowOfProcess(HWND window, LPARAM parameter)
{
    auto *collection = reinterpret_cast<WindowsOfProcess *>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == collection->processId)
        collection->found.push_back(window);
    return TRUE;
}

bool IsShownDialogBox(HWND window)
{
    return IsWindowVisible(window) && ClassOf(window) == "#32770";
}

// Message boxes put their text in a static control; Windows and current Wine give it the
// id 0xFFFF, older Wine 100.
std::string MessageBoxTextOf(HWND box)
{
    for (int id : {0xFFFF, 100}) {
        if (GetDlgItem(box, id) != nullptr)
            return ItemTextOf(box, id);
    }
    return "<no text control>";
}

template <typename Predicate> bool WaitFor(Predicate done, DWORD timeout)
{
    DWORD start = GetTickCount();
    for (;;) {
        if (done())
            return true;
        if (GetTickCount() - start > timeout)
            return false;
        Pause();
    }
}

} // namespace

std::vector<HWND> TopWindowsOf(DWORD processId)
{
    WindowsOfProcess collection = {processId, {}};
    EnumWindows(CollectWindowOfProcess, reinterpret_cast<LPARAM>(&collection));
    return collection.found;
}

UpdaterRun::UpdaterRun(const std::string &exePath) : process_()
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    // The working folder is not the exe's: the update must find its files from the exe's path.
    std::string commandLine = "\"" + exePath + "\"";
    if (!CreateProcessA(exePath.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process_)) {
        ADD_FAILURE() << "cannot start " << exePath << ": error " << GetLastError();
        process_ = PROCESS_INFORMATION();
    }
}

void UpdaterRun::Kill()
{
    if (!started())
        return;
    TerminateProcess(process_.hProcess, 99);
    WaitForSingleObject(process_.hProcess, ExitTimeout);
}

UpdaterRun::~UpdaterRun()
{
    if (!started())
        return;
    if (Running()) {
        ADD_FAILURE() << "the updater was still running at the end of the test; ended it";
        TerminateProcess(process_.hProcess, 99);
        WaitForSingleObject(process_.hProcess, ExitTimeout);
    }
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
}

bool UpdaterRun::Running() const
{
    return started() && WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT;
}

HWND UpdaterRun::WaitForDialog()
{
    HWND dialog = nullptr;
    WaitFor(
        [&] {
            for (HWND window : TopWindowsOf(processId())) {
                HWND owner = GetWindow(window, GW_OWNER);
                if (IsShownDialogBox(window) && owner != nullptr &&
                    ClassOf(owner) == Product.hostWindowClassName) {
                    dialog = window;
                    return true;
                }
            }
            return !Running();
        },
        WindowTimeout);
    return dialog;
}

HWND UpdaterRun::CurrentMessageBox(HWND dialog) const
{
    for (HWND window : TopWindowsOf(processId())) {
        if (window != dialog && IsShownDialogBox(window))
            return window;
    }
    return nullptr;
}

HWND UpdaterRun::WaitForMessageBox(HWND dialog)
{
    HWND box = nullptr;
    WaitFor(
        [&] {
            box = CurrentMessageBox(dialog);
            return box != nullptr || !Running();
        },
        WindowTimeout);
    return box;
}

MessageBoxSeen UpdaterRun::Describe(HWND box) const
{
    MessageBoxSeen seen = {box, TextOf(box), MessageBoxTextOf(box), GetWindow(box, GW_OWNER)};
    return seen;
}

bool UpdaterRun::DismissMessageBox(HWND box)
{
    ClickButton(box, IDOK);
    return WaitFor([&] { return !IsWindow(box) || !IsWindowVisible(box); }, WindowTimeout);
}

bool UpdaterRun::WaitForExit(DWORD &exitCode, DWORD timeout)
{
    exitCode = STILL_ACTIVE;
    if (!WaitFor([&] { return !Running(); }, timeout))
        return false;
    GetExitCodeProcess(process_.hProcess, &exitCode);
    return true;
}

void ClickButton(HWND dialog, int id)
{
    HWND button = GetDlgItem(dialog, id);
    ASSERT_NE(button, nullptr) << "no control " << id;
    // Posted: the click may run the whole update pass before it returns.
    PostMessageA(button, BM_CLICK, 0, 0);
}

HWND FocusOf(HWND dialog)
{
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info))
        return nullptr;
    return info.hwndFocus;
}

void PressKey(HWND dialog, WPARAM key)
{
    // Right after a message box closes, the focus is on its way back to the dialog.
    HWND focus = nullptr;
    WaitFor(
        [&] {
            focus = FocusOf(dialog);
            return focus == dialog || IsChild(dialog, focus);
        },
        WindowTimeout);
    ASSERT_TRUE(focus == dialog || IsChild(dialog, focus)) << "the window has no focus";
    UINT scan = MapVirtualKeyA(static_cast<UINT>(key), MAPVK_VK_TO_VSC);
    PostMessageA(focus, WM_KEYDOWN, key, 1 | (static_cast<LPARAM>(scan) << 16));
    PostMessageA(focus, WM_KEYUP, key, 1 | (static_cast<LPARAM>(scan) << 16) | 0xC0000000);
}

static void MakeFoldersFor(const std::string &path)
{
    for (size_t at = path.find_first_of("\\/", 3); at != std::string::npos;
         at = path.find_first_of("\\/", at + 1))
        CreateDirectoryA(path.substr(0, at).c_str(), nullptr);
}

// 表 is 95 5C in CP932: a path cut at the wrong byte would name another folder.
UpdaterFolder::UpdaterFolder()
{
    std::string toolFolder = scratch_ / "ダウンロード表";
    MakeFolder(toolFolder);
    exe = toolFolder + "\\" + UpdaterExe.substr(UpdaterExe.find_last_of('\\') + 1);
    EXPECT_TRUE(CopyFileA(UpdaterExe.c_str(), exe.c_str(), FALSE)) << UpdaterExe;
    updates = toolFolder + "\\" + Product.productFolderName;
    MakeFolder(updates);
    installation = scratch_ / "インストール先表";
    MakeFolder(installation);
}

void UpdaterFolder::Carry(const std::string &name, const std::string &bytes, const FileTimes &times)
{
    std::string path = updates + "\\" + name;
    MakeFoldersFor(path);
    WriteFileBytes(path, bytes);
    SetTimes(path, times);
}

void UpdaterFolder::Install(const std::string &name, const std::string &bytes,
                            const FileTimes &times)
{
    std::string path = Installed(name);
    MakeFoldersFor(path);
    WriteFileBytes(path, bytes);
    SetTimes(path, times);
}

std::string UpdaterFolder::Installed(const std::string &name) const
{
    return installation + "\\" + name;
}

void RemoveInstallRecord()
{
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, Product.installRecordKey, KEY_WOW64_32KEY, 0);
}

void WriteInstallRecord(RecordKey &record, const std::string &installFolder)
{
    // As the installation writes a path: its bytes, the NUL and one byte more.
    record.SetString("Dir", installFolder + std::string(2, '\0'));
    record.SetString("CD", std::string("D:\\") + std::string(2, '\0'));
    record.SetDword("InstType", 1);
}

std::string ExpectedCaption()
{
    return std::string(Product.productTitle) + " Updata";
}

std::string ExpectedPrompt()
{
    return std::string(Product.productTitle) + "　を\nアップデートしますか？";
}

void RequestScreenshot(const std::string &name, const std::vector<HWND> &windows)
{
    if (ShotsFolder.empty() || windows.empty())
        return;
    RECT area = {};
    for (HWND window : windows) {
        RECT frame;
        GetWindowRect(window, &frame);
        if (IsRectEmpty(&area))
            area = frame;
        else
            UnionRect(&area, &area, &frame);
    }
    InflateRect(&area, 16, 16);
    RECT screen = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    IntersectRect(&area, &area, &screen);

    // Painting is asynchronous: give the windows a moment before the picture.
    Pause(500);
    std::string request = ShotsFolder + "\\" + name + ".request";
    char geometry[64];
    wsprintfA(geometry, "%dx%d+%d+%d\n", area.right - area.left, area.bottom - area.top, area.left,
              area.top);
    // Written aside and renamed, so that the script never reads half a request.
    WriteFileBytes(request + ".part", geometry);
    EXPECT_TRUE(MoveFileA((request + ".part").c_str(), request.c_str()));
    // The script removes the request once the picture is saved.
    EXPECT_TRUE(WaitFor([&] { return !FileExists(request); }, 30000))
        << "no screenshot taken for " << name;
}
