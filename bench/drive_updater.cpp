// Runs a dialog program as its user would and reports what it saw: for the demo, the
// screenshots and the benchmark. It finds the program's dialog, optionally presses Update,
// waits for the message box, dismisses it, and ends the program through Cancel if it is
// still there. Finding, pressing and waiting are the end-to-end driver's (driver_support);
// what is its own is the report, the timing and the pictures.
//
// usage: drive_updater [--update] [--shots PREFIX] [--report FILE] [--timeout SECONDS]
//                      [--poll MILLISECONDS] EXE
// The report holds key=value lines in UTF-8; times in milliseconds from the process start.
// --poll sets how often the completion message is looked for after the press (default: the
// end-to-end driver's interval), to see what the looking costs the pass.
#include "driver_support.h"

#include <stdio.h>
#include <stdlib.h>
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

// One report line: no line breaks inside a value.
std::string ReportText(const std::string &cp932)
{
    std::string escaped;
    for (char c : Utf8(cp932)) {
        if (c == '\n')
            escaped += "\\n";
        else if (c != '\r')
            escaped += c;
    }
    return escaped;
}

// True when the window is gone (or the program ended) within the timeout.
bool WaitUntilGone(const UpdaterRun &run, HWND window, DWORD timeout)
{
    DWORD begin = GetTickCount();
    while (IsWindow(window) && run.Running()) {
        if (GetTickCount() - begin > timeout)
            return false;
        Pause(10);
    }
    return true;
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

// The system's counters of a process (VM_COUNTERS), through ntdll: its peak address space,
// which kernel32 does not give.
struct VmCounters {
    SIZE_T peakVirtualSize, virtualSize;
    ULONG pageFaultCount;
    SIZE_T peakWorkingSetSize, workingSetSize, quotaPeakPagedPoolUsage, quotaPagedPoolUsage,
        quotaPeakNonPagedPoolUsage, quotaNonPagedPoolUsage, pagefileUsage, peakPagefileUsage;
};

// The peaks of the resident memory, which a rebuilt file's buffers and dictionaries count in
// as they are used, and of the address space, which must not grow with the file.
bool PeakMemory(DWORD processId, size_t &workingSet, size_t &addressSpace)
{
    typedef LONG(WINAPI * QueryFunction)(HANDLE, int, void *, ULONG, ULONG *);
    FARPROC found = GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationProcess");
    HANDLE process =
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ, FALSE, processId);
    if (process == nullptr || found == nullptr)
        return false;
    VmCounters counters = {};
    const int processVmCounters = 3;
    bool known = reinterpret_cast<QueryFunction>(reinterpret_cast<void (*)()>(found))(
                     process, processVmCounters, &counters, sizeof counters, nullptr) == 0;
    CloseHandle(process);
    workingSet = counters.peakWorkingSetSize;
    addressSpace = counters.peakVirtualSize;
    return known;
}

// The wall clock in milliseconds since 1970, to set the report's moments beside the times of
// the files the updater writes.
double UnixMilliseconds()
{
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    ULONGLONG ticks = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return static_cast<double>(ticks - 116444736000000000ull) / 10000.0;
}

// The processor time a process has used so far, in milliseconds.
double ProcessorTime(HANDLE process)
{
    FILETIME created, ended, kernel, user;
    if (!GetProcessTimes(process, &created, &ended, &kernel, &user))
        return 0;
    ULONGLONG total =
        ((static_cast<ULONGLONG>(kernel.dwHighDateTime) << 32) | kernel.dwLowDateTime) +
        ((static_cast<ULONGLONG>(user.dwHighDateTime) << 32) | user.dwLowDateTime);
    return static_cast<double>(total) / 10000.0;
}

// As UpdaterRun::WaitForMessageBox, at the given interval.
HWND WaitForBox(UpdaterRun &run, HWND dialog, DWORD interval)
{
    DWORD begin = GetTickCount();
    for (;;) {
        HWND box = run.CurrentMessageBox(dialog);
        if (box != nullptr || !run.Running() || GetTickCount() - begin > WindowTimeout)
            return box;
        Pause(interval);
    }
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

// Drives one run; false when it did not go in order (no dialog, or the program did not end).
bool Drive(const std::string &exe, bool pressUpdate, const std::string &shots, DWORD poll)
{
    UpdaterRun run(exe);
    if (!run.started())
        return false;
    // Any dialog of the program: the yardstick dialog has no host window.
    HWND dialog = run.WaitForMessageBox(nullptr);
    if (dialog == nullptr) {
        Note("error", "no dialog");
    } else {
        NoteNumber("dialog_ms", MillisecondsSinceStart());
        Note("dialog_caption", ReportText(TextOf(dialog)));
        Note("dialog_prompt", ReportText(ItemTextOf(dialog, PromptId)));
        if (!shots.empty())
            SaveWindowPicture(dialog, shots + "dialog.bmp");
        if (pressUpdate) {
            double driverBefore = ProcessorTime(GetCurrentProcess());
            NoteNumber("pressed_unix_ms", UnixMilliseconds());
            double pressed = MillisecondsSinceStart();
            ClickButton(dialog, UpdateButtonId);
            HWND box = WaitForBox(run, dialog, poll);
            double seenAt = MillisecondsSinceStart();
            NoteNumber("box_seen_unix_ms", UnixMilliseconds());
            // The updater's own is not asked for: Wine answers for another process with far
            // less than the same pass takes in one process.
            NoteNumber("driver_cpu_ms", ProcessorTime(GetCurrentProcess()) - driverBefore);
            if (box == nullptr) {
                Note("box", "none");
            } else {
                NoteNumber("box_ms", seenAt);
                NoteNumber("update_ms", seenAt - pressed);
                MessageBoxSeen seen = run.Describe(box);
                Note("box_caption", ReportText(seen.caption));
                Note("box_text", ReportText(seen.text));
                if (!shots.empty())
                    SaveWindowPicture(box, shots + "box.bmp");
                size_t workingSet = 0, addressSpace = 0;
                if (PeakMemory(run.processId(), workingSet, addressSpace)) {
                    Note("peak_working_set", std::to_string(workingSet));
                    Note("peak_address_space", std::to_string(addressSpace));
                }
                if (run.DismissMessageBox(box))
                    NoteNumber("box_closed_ms", MillisecondsSinceStart());
            }
        }
        // Without Update, and after a refusal, the dialog is still standing: Cancel ends it
        // as a user would.
        if (!pressUpdate || !WaitUntilGone(run, dialog, 3000))
            ClickButton(dialog, IDCANCEL);
        if (WaitUntilGone(run, dialog, 10000))
            NoteNumber("dialog_closed_ms", MillisecondsSinceStart());
    }
    DWORD exitCode = 0;
    bool ended = run.WaitForExit(exitCode, 10000);
    if (!ended)
        Note("error", "did not end"); // the run's end ends it
    NoteNumber("exit_ms", MillisecondsSinceStart());
    Note("exit_code", std::to_string(ended ? exitCode : 99));
    return dialog != nullptr && ended;
}

} // namespace

int main(int argc, char **argv)
{
    bool pressUpdate = false;
    std::string shots;
    std::string reportPath;
    DWORD poll = PollInterval;
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
            ++argument; // the driver's own bounds apply
        else if (option == "--poll" && argument + 1 < argc)
            poll = static_cast<DWORD>(atoi(argv[++argument]));
        else
            argument = argc;
    }
    if (argument != argc - 1) {
        fprintf(stderr, "usage: drive_updater [--update] [--shots PREFIX] [--report FILE] "
                        "[--timeout SECONDS] [--poll MILLISECONDS] EXE\n");
        return 2;
    }

    QueryPerformanceFrequency(&Frequency);
    QueryPerformanceCounter(&Started);
    bool orderly = Drive(argv[argument], pressUpdate, shots, poll);

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
