// Drives the real updater through its windows, as a user would: finds its dialog and message
// boxes, reads their texts byte for byte, presses buttons and keys and reads its exit code.
// Nothing here waits without a timeout, and nothing sends a message into the updater that
// could block on the update pass.
#pragma once

#include "../engine/test_support.h"

#include <string>
#include <vector>
#include <windows.h>

extern std::string UpdaterExe;  // the built twin, as a Windows path
extern std::string ShotsFolder; // where screenshots are asked for; empty: none are taken

// Generous bounds: the first window in a fresh prefix waits for Wine's font cache, and a busy
// machine can take many seconds more. Only a failing run ever waits them out.
enum : DWORD {
    WindowTimeout = 60000,
    ExitTimeout = 60000,
    PollInterval = 20,
    // Windows calls a window that has not taken its messages for this long not responding.
    HungWindowTimeout = 5000,
};

// CP932 bytes as UTF-8, for failure messages that a person can read.
std::string Utf8(const std::string &cp932);

std::string ClassOf(HWND window);
std::string TextOf(HWND window);
std::string ItemTextOf(HWND dialog, int id);

// Keeps the driver's own windows answering while it waits.
void PumpOwnMessages();
void Pause(DWORD milliseconds = PollInterval);

// Top-level windows of a process, hidden ones included.
std::vector<HWND> TopWindowsOf(DWORD processId);

// A system the updater can run on, by the ANSI code page Wine gives a process under this Unix
// locale (which the test command generates).
struct SystemLocale {
    const char *unixName;
    UINT codePage;
};
extern const SystemLocale JapaneseSystem, EnglishSystem, ChineseSystem;

// A message box shown by the updater: caption, text, and the owner it was given.
struct MessageBoxSeen {
    HWND window;
    std::string caption;
    std::string text;
    HWND owner;
};

// One run of the updater; the destructor ends a run that is still alive and fails the test,
// so that no stray copy's window trips the next test's single-instance guard.
class UpdaterRun {
  public:
    // Without a locale the run has the driver's own, Japanese.
    explicit UpdaterRun(const TestPath &exePath, const SystemLocale *locale = nullptr);
    // The copy that startedBy starts of the same exe, once it is there; not started() when
    // none came before startedBy ended or the window timeout.
    UpdaterRun(const TestPath &exePath, const UpdaterRun &startedBy);
    ~UpdaterRun();
    bool started() const { return process_.hProcess != nullptr; }
    DWORD processId() const { return process_.dwProcessId; }
    bool Running() const;

    // The update dialog: the dialog box owned by the host window. Null on timeout or exit.
    HWND WaitForDialog();
    // Any other visible dialog-class window of the process: the message boxes.
    HWND CurrentMessageBox(HWND dialog) const;
    HWND WaitForMessageBox(HWND dialog);
    MessageBoxSeen Describe(HWND box) const;
    // Waits for the box to go away after its OK button was pressed.
    bool DismissMessageBox(HWND box);
    bool WaitForExit(DWORD &exitCode, DWORD timeout = ExitTimeout);
    // As Task Manager, a crash or a power cut ends it: at once, wherever it is.
    void Kill();

  private:
    void StartUnder(const TestPath &exePath, const SystemLocale &locale);

    PROCESS_INFORMATION process_;
    UINT codePage_; // the one its locale gives the run; 0 for the driver's own
    // The host window's class name, converted from the product's CP932 bytes on every system.
    std::wstring hostClass_;
};

// Starts a copy under the locale that must end by itself (a second copy does, at once) and
// gives its exit code. False when it has not ended within ExitTimeout; then it is ended. No
// other copy may run from the same exe path.
bool EndsByItselfUnder(const TestPath &exePath, const SystemLocale &locale, DWORD &exitCode);

// Whether a copy of the exe runs beside the processes known.
bool OtherCopyRunning(const TestPath &exePath, const std::vector<DWORD> &known);

// A program of the test's own started from the given exe, as the game runs from its installed
// exe; ended (if it still runs) when it goes.
class RunningProgram {
  public:
    explicit RunningProgram(const std::wstring &exe);
    ~RunningProgram() { End(); }
    bool Running() const;
    void End();

  private:
    PROCESS_INFORMATION process_;
};
// The stand-in game built beside the driver: it runs until it is ended.
std::wstring GameStandIn();

// Presses like a user: a click on a button, a key on the focus window of the dialog's thread.
void ClickButton(HWND dialog, int id);
HWND FocusOf(HWND dialog);
void PressKey(HWND dialog, WPARAM key);

// The updater's folder: a copy of the exe beside the product folder with the new files, and
// an installation folder whose name holds a CP932 trail byte equal to a backslash. Either
// can be named otherwise, in any script.
class UpdaterFolder {
  public:
    explicit UpdaterFolder(const TestPath &toolFolder = "ダウンロード表",
                           const TestPath &installFolder = "インストール先表");
    std::wstring exe;
    std::wstring updates;
    std::wstring installation;
    // A file carried by the update or already installed, by its listed name; "/" in a name
    // makes a subfolder.
    void Carry(const std::string &name, const std::string &bytes, const FileTimes &times);
    void Install(const std::string &name, const std::string &bytes, const FileTimes &times);
    std::wstring Carried(const std::string &name) const;
    std::wstring Installed(const std::string &name) const;

  private:
    TemporaryFolder scratch_;
};

void RemoveInstallRecord();
// The record as an installation writes it, pointing at the given folder.
void WriteInstallRecord(RecordKey &record, const TestPath &installFolder);

// The texts the updater shows, from the compiled-in product title.
std::string ExpectedCaption();
std::string ExpectedPrompt();
extern const char RefusalText[];
extern const char RefusalCaption[];
extern const char CompletionText[];
extern const char CompletionCaption[];

// Asks the screenshot script to picture the given windows; a no-op without ShotsFolder.
void RequestScreenshot(const std::string &name, const std::vector<HWND> &windows);
