// Runs a dialog program as its user would and reports what it saw: for the demo, the
// screenshots and the benchmark. It finds the program's dialog, optionally presses Update,
// waits for the message box, dismisses it, and ends the program through Cancel if it is
// still there. Every wait has a timeout; nothing is sent that would block on the update pass.
//
// usage: drive_updater [--update] [--shots PREFIX] [--report FILE] [--timeout SECONDS] EXE
// The report holds key=value lines in UTF-8; times in milliseconds from the process start.
#include <windows.h>

#include <psapi.h>
#include <stdio.h>
#include <string.h>
#include <string>
#include <vector>

namespace {

const int UpdateButtonId = 1008;
const int PromptId = 1009;

LARGE_INTEGER Frequency;
LARGE_INTEGER Started;

double MillisecondsSinceStart()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart - Started.QuadPart) * 1000.0 /
           static_cast<double>(Frequency.QuadPart);
}

std::string Utf8(const std::string &ansi)
{
    if (ansi.empty())
        return ansi;
    int wide =
        MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(wide), L'\0');
    MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), &text[0], wide);
    int narrow = WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(narrow), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, &utf8[0], narrow, nullptr, nullptr);
    std::string escaped;
    for (char c : utf8) {
        if (c == '\n')
            escaped += "\\n";
        else if (c != '\r')
            escaped += c;
    }
    return escaped;
}

std::string TextOf(HWND window)
{
    char text[1024] = "";
    GetWindowTextA(window, text, sizeof text);
    return text;
}

struct Search {
    DWORD processId;
    HWND except;
    HWND found;
};

BOOL CALLBACK MatchDialog(HWND window, LPARAM parameter)
{
    Search *search = reinterpret_cast<Search *>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != search->processId || window == search->except || !IsWindowVisible(window))
        return TRUE;
    char className[64] = "";
    GetClassNameA(window, className, sizeof className);
    if (strcmp(className, "#32770") != 0)
        return TRUE;
    search->found = window;
    return FALSE;
}

// A visible dialog-class window of the process other than EXCEPT; null on timeout or exit.
// Each look costs the Wine server a few requests, which the measured program competes for on
// a small machine: look every POLL milliseconds, no more often.
HWND WaitForDialog(const PROCESS_INFORMATION &process, HWND except, DWORD timeout, DWORD poll)
{
    DWORD begin = GetTickCount();
    for (;;) {
        Search search = {process.dwProcessId, except, nullptr};
        EnumWindows(MatchDialog, reinterpret_cast<LPARAM>(&search));
        if (search.found != nullptr)
            return search.found;
        if (WaitForSingleObject(process.hProcess, poll) == WAIT_OBJECT_0)
            return nullptr;
        if (GetTickCount() - begin > timeout)
            return nullptr;
    }
}

// True when the window is gone (or the process ended) within the timeout.
bool WaitUntilGone(const PROCESS_INFORMATION &process, HWND window, DWORD timeout)
{
    DWORD begin = GetTickCount();
    while (IsWindow(window)) {
        if (WaitForSingleObject(process.hProcess, 10) == WAIT_OBJECT_0)
            return true;
        if (GetTickCount() - begin > timeout)
            return false;
    }
    return true;
}

BOOL CALLBACK CollectStaticText(HWND child, LPARAM parameter)
{
    char className[64] = "";
    GetClassNameA(child, className, sizeof className);
    if (_stricmp(className, "Static") == 0) {
        std::string text = TextOf(child);
        if (!text.empty())
            *reinterpret_cast<std::string *>(parameter) = text;
    }
    return TRUE;
}

std::string MessageTextOf(HWND box)
{
    std::string text;
    EnumChildWindows(box, CollectStaticText, reinterpret_cast<LPARAM>(&text));
    return text;
}

void PressButton(HWND dialog, int id)
{
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

// The window as it is on the screen, frame included, as a 24-bit BMP.
bool SaveWindowPicture(HWND window, const std::string &path)
{
    Sleep(400); // let it paint
    RECT frame;
    if (!GetWindowRect(window, &frame))
        return false;
    int width = frame.right - frame.left;
    int height = frame.bottom - frame.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, frame.left, frame.top, SRCCOPY);
    SelectObject(memory, previous);

    BITMAPINFOHEADER header = {};
    header.biSize = sizeof header;
    header.biWidth = width;
    header.biHeight = height;
    header.biPlanes = 1;
    header.biBitCount = 24;
    header.biCompression = BI_RGB;
    DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
    std::vector<unsigned char> pixels(stride * static_cast<DWORD>(height));
    GetDIBits(memory, bitmap, 0, static_cast<UINT>(height), pixels.data(),
              reinterpret_cast<BITMAPINFO *>(&header), DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);

    BITMAPFILEHEADER file = {};
    file.bfType = 0x4d42;
    file.bfOffBits = sizeof file + sizeof header;
    file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
    FILE *out = fopen(path.c_str(), "wb");
    if (out == nullptr)
        return false;
    bool written = fwrite(&file, sizeof file, 1, out) == 1 &&
                   fwrite(&header, sizeof header, 1, out) == 1 &&
                   fwrite(pixels.data(), 1, pixels.size(), out) == pixels.size();
    return fclose(out) == 0 && written;
}

std::string Report;

void Note(const char *key, const std::string &value)
{
    Report += key;
    Report += '=';
    Report += value;
    Report += '\n';
}

void NoteNumber(const char *key, double value)
{
    char text[64];
    snprintf(text, sizeof text, "%.1f", value);
    Note(key, text);
}

} // namespace

int main(int argc, char **argv)
{
    bool pressUpdate = false;
    std::string shots;
    std::string reportPath;
    DWORD timeout = 600000;
    int argument = 1;
    for (; argument < argc && strncmp(argv[argument], "--", 2) == 0; ++argument) {
        std::string option = argv[argument];
        if (option == "--update")
            pressUpdate = true;
        else if (option == "--shots" && argument + 1 < argc)
            shots = argv[++argument];
        else if (option == "--report" && argument + 1 < argc)
            reportPath = argv[++argument];
        else if (option == "--timeout" && argument + 1 < argc)
            timeout = static_cast<DWORD>(atoi(argv[++argument])) * 1000;
        else
            argument = argc;
    }
    if (argument != argc - 1) {
        fprintf(stderr, "usage: drive_updater [--update] [--shots PREFIX] [--report FILE] "
                        "[--timeout SECONDS] EXE\n");
        return 2;
    }

    QueryPerformanceFrequency(&Frequency);
    QueryPerformanceCounter(&Started);
    std::string commandLine = std::string("\"") + argv[argument] + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(argv[argument], &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process)) {
        fprintf(stderr, "cannot start %s (error %lu)\n", argv[argument], GetLastError());
        return 2;
    }

    bool orderly = true;
    HWND dialog = WaitForDialog(process, nullptr, timeout, 2);
    if (dialog == nullptr) {
        Note("error", "no dialog");
        orderly = false;
    } else {
        NoteNumber("dialog_ms", MillisecondsSinceStart());
        Note("dialog_caption", Utf8(TextOf(dialog)));
        Note("dialog_prompt", Utf8(TextOf(GetDlgItem(dialog, PromptId))));
        if (!shots.empty())
            SaveWindowPicture(dialog, shots + "dialog.bmp");
        if (pressUpdate) {
            double pressed = MillisecondsSinceStart();
            PressButton(dialog, UpdateButtonId);
            HWND box = WaitForDialog(process, dialog, timeout, 10);
            if (box == nullptr) {
                Note("box", "none");
            } else {
                NoteNumber("box_ms", MillisecondsSinceStart());
                NoteNumber("update_ms", MillisecondsSinceStart() - pressed);
                Note("box_caption", Utf8(TextOf(box)));
                Note("box_text", Utf8(MessageTextOf(box)));
                if (!shots.empty())
                    SaveWindowPicture(box, shots + "box.bmp");
                PROCESS_MEMORY_COUNTERS memory = {};
                memory.cb = sizeof memory;
                if (GetProcessMemoryInfo(process.hProcess, &memory, sizeof memory))
                    Note("peak_working_set", std::to_string(memory.PeakWorkingSetSize));
                PressButton(box, IDOK);
                if (WaitUntilGone(process, box, 3000))
                    NoteNumber("box_closed_ms", MillisecondsSinceStart());
            }
        }
        // Without Update, and after a refusal, the dialog is still standing: Cancel ends it
        // as a user would.
        if (!pressUpdate || !WaitUntilGone(process, dialog, 3000))
            PressButton(dialog, IDCANCEL);
        if (WaitUntilGone(process, dialog, 10000))
            NoteNumber("dialog_closed_ms", MillisecondsSinceStart());
    }
    if (WaitForSingleObject(process.hProcess, 10000) == WAIT_TIMEOUT) {
        Note("error", "did not end");
        TerminateProcess(process.hProcess, 99);
        WaitForSingleObject(process.hProcess, 5000);
        orderly = false;
    }
    NoteNumber("exit_ms", MillisecondsSinceStart());
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    Note("exit_code", std::to_string(exitCode));
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);

    fputs(Report.c_str(), stdout);
    if (!reportPath.empty()) {
        FILE *out = fopen(reportPath.c_str(), "wb");
        if (out != nullptr) {
            fputs(Report.c_str(), out);
            fclose(out);
        }
    }
    return orderly ? 0 : 1;
}
