#include "driver_support.h"

#include "../../product/product_config.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdlib.h>
#include <tlhelp32.h>
#include <winternl.h>

std::string UpdaterExe;
std::string ShotsFolder;

const char RefusalText[] =
    "インストールがされてませんでした。\nインストールを行ってからアップデートしてください。";
const char RefusalCaption[] = "確認";
const char CompletionText[] = "アップデートが完了しました。";
const char CompletionCaption[] = "終了";

const SystemLocale JapaneseSystem = {"ja_JP.UTF-8", 932};
const SystemLocale EnglishSystem = {"en_US.UTF-8", 1252};
const SystemLocale ChineseSystem = {"zh_CN.UTF-8", 936};

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

// Texts are read in UTF-16, as the system holds them, and given back as CP932 bytes: the
// same bytes whatever code page the updater runs under, and what it showed wherever the
// system could draw it.
static std::string Cp932Of(const wchar_t *text, int length)
{
    return length > 0 ? Cp932(std::wstring(text, static_cast<size_t>(length))) : std::string();
}

std::string TextOf(HWND window)
{
    wchar_t text[1024];
    return Cp932Of(text, GetWindowTextW(window, text, 1024));
}

std::string ItemTextOf(HWND dialog, int id)
{
    wchar_t text[1024];
    return Cp932Of(text, static_cast<int>(GetDlgItemTextW(dialog, id, text, 1024)));
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

std::wstring Wide(const char *bytes, UINT codePage)
{
    int length = MultiByteToWideChar(codePage, 0, bytes, -1, nullptr, 0);
    std::wstring text(static_cast<size_t>(length > 0 ? length : 1), L'\0');
    MultiByteToWideChar(codePage, 0, bytes, -1, &text[0], length);
    text.resize(text.size() - 1);
    return text;
}

std::wstring WideClassOf(HWND window)
{
    wchar_t name[256];
    int length = GetClassNameW(window, name, 256);
    return std::wstring(name, length > 0 ? static_cast<size_t>(length) : 0);
}

// The process that runs the given exe, opened to wait for it and read its exit code; null
// when none does. Processes of the ids given to skip are not taken.
HANDLE OpenProcessRunning(const TestPath &exePath, DWORD &processId,
                          const std::vector<DWORD> &skip = {})
{
    const std::wstring &wanted = exePath.wide();
    const wchar_t *wantedName = wanted.c_str() + wanted.find_last_of(L'\\') + 1;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return nullptr;
    HANDLE found = nullptr;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && found == nullptr;
         more = Process32NextW(snapshot, &entry)) {
        if (lstrcmpiW(entry.szExeFile, wantedName) != 0 ||
            std::find(skip.begin(), skip.end(), entry.th32ProcessID) != skip.end())
            continue;
        HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | SYNCHRONIZE |
                                         PROCESS_TERMINATE,
                                     FALSE, entry.th32ProcessID);
        if (process == nullptr)
            continue;
        wchar_t image[MAX_PATH];
        DWORD size = MAX_PATH;
        if (QueryFullProcessImageNameW(process, 0, image, &size) &&
            lstrcmpiW(image, wanted.c_str()) == 0) {
            found = process;
            processId = entry.th32ProcessID;
        } else {
            CloseHandle(process);
        }
    }
    CloseHandle(snapshot);
    return found;
}

// The ANSI code page a process runs under, from the code page table its PEB points at: the
// table's second word is its number. 0 when it cannot be read.
UINT AnsiCodePageOf(HANDLE process)
{
    typedef NTSTATUS(NTAPI * QueryInformationProcessFunction)(HANDLE, PROCESSINFOCLASS, PVOID,
                                                              ULONG, PULONG);
    FARPROC found = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess");
    if (found == nullptr)
        return 0;
    auto query =
        reinterpret_cast<QueryInformationProcessFunction>(reinterpret_cast<void (*)()>(found));
    PROCESS_BASIC_INFORMATION basic = {};
    if (query(process, ProcessBasicInformation, &basic, sizeof basic, nullptr) != 0)
        return 0;
    // AnsiCodePageData in the PEB of a process of the driver's own width.
    const size_t ansiTableOffset = sizeof(void *) == 8 ? 0xA0 : 0x58;
    void *table = nullptr;
    WORD header[2] = {};
    if (!ReadProcessMemory(process,
                           reinterpret_cast<char *>(basic.PebBaseAddress) + ansiTableOffset, &table,
                           sizeof table, nullptr) ||
        table == nullptr || !ReadProcessMemory(process, table, header, sizeof header, nullptr))
        return 0;
    return header[1];
}

// The Unix command that runs the exe under the locale, with the Wine loader of its width; the
// exe's path in the quotes of whoever splits the command.
std::wstring WineUnder(const TestPath &exePath, const SystemLocale &locale, wchar_t quote)
{
    DWORD type = SCS_32BIT_BINARY;
    GetBinaryTypeW(exePath.wide().c_str(), &type);
    return L"env LANG=" + Wide(locale.unixName, 932) + L" LC_ALL=" + Wide(locale.unixName, 932) +
           L" /usr/lib/wine/" + (type == SCS_64BIT_BINARY ? L"wine64" : L"wine") + L" " + quote +
           exePath.wide() + quote;
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

UpdaterRun::UpdaterRun(const TestPath &exePath, const SystemLocale *locale)
    : process_(), codePage_(0), hostClass_(Wide(Product.hostWindowClassName, 932))
{
    if (locale != nullptr) {
        StartUnder(exePath, *locale);
        return;
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    // The working folder is not the exe's: the update must find its files from the exe's path.
    std::wstring commandLine = L"\"" + exePath.wide() + L"\"";
    if (!CreateProcessW(exePath.wide().c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0,
                        nullptr, nullptr, &startup, &process_)) {
        ADD_FAILURE() << "cannot start " << exePath << ": error " << GetLastError();
        process_ = PROCESS_INFORMATION();
    }
}

UpdaterRun::UpdaterRun(const TestPath &exePath, const UpdaterRun &startedBy)
    : process_(), codePage_(0), hostClass_(Wide(Product.hostWindowClassName, 932))
{
    DWORD processId = 0;
    HANDLE process = nullptr;
    WaitFor(
        [&] {
            process = OpenProcessRunning(exePath, processId, {startedBy.processId()});
            return process != nullptr || !startedBy.Running();
        },
        WindowTimeout);
    process_.hProcess = process;
    process_.dwProcessId = processId;
}

bool OtherCopyRunning(const TestPath &exePath, const std::vector<DWORD> &known)
{
    DWORD processId = 0;
    HANDLE process = OpenProcessRunning(exePath, processId, known);
    if (process != nullptr)
        CloseHandle(process);
    return process != nullptr;
}

// Wine takes a process's code page from its Unix locale, and a Windows program that Wine
// starts keeps the Unix environment Wine began with, whatever block CreateProcess passes. A
// Unix program started from here gets the block as its environment, though: env starts the
// Wine loader under the locale. It is no Windows process, so the updater's own is looked up.
void UpdaterRun::StartUnder(const TestPath &exePath, const SystemLocale &locale)
{
    std::wstring commandLine = WineUnder(exePath, locale, L'"');
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION launcher = {};
    if (!CreateProcessW(L"Z:\\usr\\bin\\env", &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &launcher)) {
        ADD_FAILURE() << "cannot start " << exePath << " under " << locale.unixName << ": error "
                      << GetLastError();
        return;
    }
    if (launcher.hProcess != nullptr)
        CloseHandle(launcher.hProcess);
    if (launcher.hThread != nullptr)
        CloseHandle(launcher.hThread);
    HANDLE process = nullptr;
    DWORD processId = 0;
    WaitFor(
        [&] {
            process = OpenProcessRunning(exePath, processId);
            return process != nullptr;
        },
        WindowTimeout);
    if (process == nullptr) {
        ADD_FAILURE() << exePath << " did not start under " << locale.unixName;
        return;
    }
    process_.hProcess = process;
    process_.dwProcessId = processId;
    codePage_ = locale.codePage;
}

// Such a copy may be gone before its process could be looked up: the shell that starts it
// writes its exit code to a file, which is read back through Wine's Z: drive.
bool EndsByItselfUnder(const TestPath &exePath, const SystemLocale &locale, DWORD &exitCode)
{
    char unixName[64];
    wsprintfA(unixName, "/tmp/updater-e2e-exit-%lu-%lu", GetCurrentProcessId(), GetTickCount());
    std::wstring exitFile = L"Z:" + Wide(unixName);
    std::replace(exitFile.begin(), exitFile.end(), L'/', L'\\');
    std::wstring commandLine =
        L"sh -c \"" + WineUnder(exePath, locale, L'\'') + L"; echo $? >" + Wide(unixName) + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION launcher = {};
    if (!CreateProcessW(L"Z:\\bin\\sh", &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &launcher)) {
        ADD_FAILURE() << "cannot start " << exePath << " under " << locale.unixName << ": error "
                      << GetLastError();
        return false;
    }
    if (launcher.hProcess != nullptr)
        CloseHandle(launcher.hProcess);
    if (launcher.hThread != nullptr)
        CloseHandle(launcher.hThread);
    std::string written;
    auto exitWritten = [&] {
        return ReadFileBytes(exitFile, written) && written.find('\n') != std::string::npos;
    };
    bool endedByItself = WaitFor(exitWritten, ExitTimeout);
    if (!endedByItself) {
        DWORD processId = 0;
        HANDLE stray = OpenProcessRunning(exePath, processId);
        if (stray != nullptr) {
            TerminateProcess(stray, 99);
            WaitForSingleObject(stray, ExitTimeout);
            CloseHandle(stray);
            WaitFor(exitWritten, ExitTimeout);
        }
    }
    DeleteFileW(exitFile.c_str());
    exitCode = static_cast<DWORD>(strtoul(written.c_str(), nullptr, 10));
    return endedByItself;
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
    if (process_.hThread != nullptr)
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
                    WideClassOf(owner) == hostClass_) {
                    dialog = window;
                    return true;
                }
            }
            return !Running();
        },
        WindowTimeout);
    // Texts read the same under every code page: without this, a locale that Wine could not
    // give the run would go unnoticed.
    if (dialog != nullptr && codePage_ != 0) {
        EXPECT_EQ(AnsiCodePageOf(process_.hProcess), codePage_) << "the run's ANSI code page";
    }
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

// Below folder, every folder of name ("/" separated) that is missing.
static void MakeFoldersFor(const std::wstring &folder, const std::string &name)
{
    for (size_t at = name.find('/'); at != std::string::npos; at = name.find('/', at + 1))
        CreateDirectoryW(TestPath(folder + L"\\" + Wide(name.substr(0, at))).system(), nullptr);
}

static std::wstring Below(const std::wstring &folder, const std::string &name)
{
    std::wstring path = folder + L"\\" + Wide(name);
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

// 表 is 95 5C in CP932: a path cut at the wrong byte would name another folder.
UpdaterFolder::UpdaterFolder(const TestPath &toolFolderName, const TestPath &installFolder)
{
    std::wstring toolFolder = Wide(scratch_.path()) + L"\\" + toolFolderName.wide();
    MakeFolder(toolFolder);
    exe = toolFolder + L"\\" + Wide(UpdaterExe.substr(UpdaterExe.find_last_of('\\') + 1));
    EXPECT_TRUE(CopyFileW(Wide(UpdaterExe).c_str(), exe.c_str(), FALSE)) << UpdaterExe;
    updates = toolFolder + L"\\" + Wide(Product.productFolderName);
    MakeFolder(updates);
    installation = Wide(scratch_.path()) + L"\\" + installFolder.wide();
    MakeFolder(installation);
}

void UpdaterFolder::Carry(const std::string &name, const std::string &bytes, const FileTimes &times)
{
    MakeFoldersFor(updates, name);
    WriteFileBytes(Carried(name), bytes);
    SetTimes(Carried(name), times);
}

void UpdaterFolder::Install(const std::string &name, const std::string &bytes,
                            const FileTimes &times)
{
    MakeFoldersFor(installation, name);
    WriteFileBytes(Installed(name), bytes);
    SetTimes(Installed(name), times);
}

std::wstring UpdaterFolder::Carried(const std::string &name) const
{
    return Below(updates, name);
}

std::wstring UpdaterFolder::Installed(const std::string &name) const
{
    return Below(installation, name);
}

void RemoveInstallRecord()
{
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, Product.installRecordKey, KEY_WOW64_32KEY, 0);
}

// As a Unicode installer writes it; the engine's cases read the ANSI form too.
void WriteInstallRecord(RecordKey &record, const TestPath &installFolder)
{
    record.SetPath("Dir", installFolder);
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

RunningProgram::RunningProgram(const std::wstring &exe) : process_()
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    std::wstring commandLine = L"\"" + exe + L"\"";
    if (!CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process_))
        ADD_FAILURE() << "cannot start " << Utf8(exe) << ": error " << GetLastError();
}

bool RunningProgram::Running() const
{
    return process_.hProcess != nullptr &&
           WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT;
}

void RunningProgram::End()
{
    if (process_.hProcess == nullptr)
        return;
    TerminateProcess(process_.hProcess, 0);
    WaitForSingleObject(process_.hProcess, ExitTimeout);
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
    process_ = PROCESS_INFORMATION();
}

std::wstring GameStandIn()
{
    wchar_t driver[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, driver, MAX_PATH);
    std::wstring folder(driver, length);
    return folder.substr(0, folder.find_last_of(L'\\') + 1) + L"game_stand_in.exe";
}
