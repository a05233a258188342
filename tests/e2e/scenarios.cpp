// The updater run end to end under Wine, one scenario per test, for whichever product it was
// built for: every name comes from the product tables.
#include "../../product/product_config.h"
#include "driver_support.h"

#include "../../engine/pass_journal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string.h>

#define EXPECT_TEXT(actual, expected)                                                              \
    EXPECT_EQ(actual, expected) << "shown: \"" << Utf8(actual) << "\"\nwanted: \""                 \
                                << Utf8(expected) << "\""

namespace {

// The lists as the updater walks them, once start-up has replaced the placeholder.
std::vector<std::string> MainNames()
{
    std::vector<std::string> names{Product.productExecutableName};
    for (int i = 1; MainFiles[i] != nullptr; ++i)
        names.push_back(MainFiles[i]);
    return names;
}

std::vector<std::string> ExtraNames()
{
    std::vector<std::string> names;
    for (int i = 0; ExtraFiles[i] != nullptr; ++i)
        names.push_back(ExtraFiles[i]);
    return names;
}

bool Contains(const std::vector<std::string> &names, const std::string &name)
{
    return std::find(names.begin(), names.end(), name) != names.end();
}

bool InSubfolder(const std::string &name)
{
    return name.find('/') != std::string::npos;
}

// Plain names of the main list after the executable, skipping those given.
std::string PlainMainName(const std::vector<std::string> &skip)
{
    std::vector<std::string> names = MainNames();
    for (size_t i = 1; i < names.size(); ++i) {
        if (!InSubfolder(names[i]) && !Contains(skip, names[i]))
            return names[i];
    }
    return "";
}

// The last plain name that only the extra list holds: handled after the whole main list.
std::string ExtraOnlyName()
{
    std::vector<std::string> main = MainNames();
    std::vector<std::string> extra = ExtraNames();
    for (size_t i = extra.size(); i-- > 0;) {
        if (!InSubfolder(extra[i]) && !Contains(main, extra[i]))
            return extra[i];
    }
    return "";
}

bool SameTime(const FILETIME &a, const FILETIME &b)
{
    return CompareFileTime(&a, &b) == 0;
}

std::string Content(const TestPath &path)
{
    std::string bytes;
    if (!ReadFileBytes(path, bytes))
        return "<missing>";
    return bytes;
}

// Removes a folder holding planted links when the case ends, however it ends: through Wine
// its removal would follow them.
struct UnixRemoval {
    explicit UnixRemoval(const TestPath &folder) : path(folder) {}
    ~UnixRemoval() { RemoveThroughUnix(path); }
    TestPath path;
};

// Presses Update and checks the completion message it must bring; null when none came.
HWND PressUpdateForCompletion(UpdaterRun &run, HWND dialog, MessageBoxSeen &seen)
{
    ClickButton(dialog, 1008);
    HWND box = run.WaitForMessageBox(dialog);
    if (box == nullptr)
        return nullptr;
    seen = run.Describe(box);
    EXPECT_TEXT(seen.caption, std::string(CompletionCaption));
    EXPECT_TEXT(seen.text, std::string(CompletionText));
    return box;
}

DWORD Read32(const std::string &bytes, size_t at)
{
    DWORD value = 0;
    if (at + sizeof value <= bytes.size())
        memcpy(&value, &bytes[at], sizeof value);
    return value;
}

WORD Read16(const std::string &bytes, size_t at)
{
    return LOWORD(Read32(bytes, at));
}

// The resource directory entry with this id under the given directory; 0 when there is none.
size_t FindResourceEntry(const std::string &bytes, size_t base, size_t directory, WORD id)
{
    size_t count = Read16(bytes, base + directory + 12) + Read16(bytes, base + directory + 14);
    for (size_t i = 0; i < count; ++i) {
        size_t entry = base + directory + 16 + 8 * i;
        if (Read32(bytes, entry) == id)
            return entry;
    }
    return 0;
}

// Gives a resource of a copy of the exe another number, so that the program cannot find it.
// (Wine's UpdateResourceA does not delete resources.)
bool RenumberResource(const TestPath &path, LPCSTR type, WORD id, WORD newId)
{
    std::string bytes;
    if (!ReadFileBytes(path, bytes))
        return false;
    size_t header = Read32(bytes, 0x3C);
    size_t sections = Read16(bytes, header + 6);
    size_t optional = header + 24;
    size_t directories = optional + (Read16(bytes, optional) == 0x20B ? 112 : 96);
    DWORD resourceRva = Read32(bytes, directories + 2 * 8);
    size_t base = 0;
    for (size_t i = 0; i < sections; ++i) {
        size_t section = optional + Read16(bytes, header + 20) + 40 * i;
        DWORD rva = Read32(bytes, section + 12);
        if (rva <= resourceRva && resourceRva < rva + Read32(bytes, section + 8))
            base = Read32(bytes, section + 20) + resourceRva - rva;
    }
    if (base == 0)
        return false;
    size_t typeEntry = FindResourceEntry(bytes, base, 0, LOWORD(reinterpret_cast<ULONG_PTR>(type)));
    if (typeEntry == 0)
        return false;
    size_t entry = FindResourceEntry(bytes, base, Read32(bytes, typeEntry + 4) & 0x7FFFFFFF, id);
    if (entry == 0)
        return false;
    DWORD renumbered = newId;
    memcpy(&bytes[entry], &renumbered, sizeof renumbered);
    WriteFileBytes(path, bytes);
    return true;
}

const FileTimes NewTimes = TimesAt(2019);
const FileTimes OldTimes = TimesAt(2005);

// A file the update carries over an older installed one, each with its own times.
void CarryOverInstalled(UpdaterFolder &folder, const std::string &name, const std::string &fresh,
                        const std::string &old)
{
    folder.Carry(name, fresh, NewTimes);
    folder.Install(name, old, OldTimes);
}

const char FailureCaption[] = "エラー";

// A name as the messages show it: with the system's separator.
std::string Shown(std::string name)
{
    std::replace(name.begin(), name.end(), '/', '\\');
    return name;
}

bool Has(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

#define EXPECT_TEXT_HAS(text, part)                                                                \
    EXPECT_TRUE(Has(text, part)) << "shown: \"" << Utf8(text) << "\"\nwanted in it: \""            \
                                 << Utf8(part) << "\""

// Presses one button of a message box and waits until the box has gone.
bool PressBoxButton(HWND box, int id)
{
    if (GetDlgItem(box, id) == nullptr)
        return false;
    ClickButton(box, id);
    DWORD start = GetTickCount();
    while (IsWindow(box) && IsWindowVisible(box) && GetTickCount() - start < WindowTimeout)
        Pause();
    return !IsWindow(box) || !IsWindowVisible(box);
}

// The exe alone in the folder Explorer extracts it to when it is run from inside its zip.
std::string ExtractedAlone(const TemporaryFolder &temporary)
{
    const std::string extracted = temporary / "Temp1_quillarin-update.zip";
    MakeFolder(extracted);
    const std::string exe = extracted + "\\" + UpdaterExe.substr(UpdaterExe.find_last_of('\\') + 1);
    EXPECT_TRUE(CopyFileA(UpdaterExe.c_str(), exe.c_str(), FALSE));
    return exe;
}

// A message box moved below the dialog, so that a picture shows both.
void ShootBelowTheDialog(const char *name, HWND dialog, HWND box)
{
    RECT dialogFrame, boxFrame;
    GetWindowRect(dialog, &dialogFrame);
    GetWindowRect(box, &boxFrame);
    int left = (dialogFrame.left + dialogFrame.right - (boxFrame.right - boxFrame.left)) / 2;
    SetWindowPos(box, nullptr, left, dialogFrame.bottom + 8, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    RequestScreenshot(name, {dialog, box});
}

// Update pressed for a stop, pictured with the dialog, then dismissed.
void ShootStop(const TestPath &exe, const char *name)
{
    UpdaterRun run(exe);
    HWND dialog = run.WaitForDialog();
    ASSERT_NE(dialog, nullptr);
    ClickButton(dialog, 1008);
    HWND box = run.WaitForMessageBox(dialog);
    ASSERT_NE(box, nullptr);
    ShootBelowTheDialog(name, dialog, box);
    run.DismissMessageBox(box);
    DWORD code = 0;
    EXPECT_TRUE(run.WaitForExit(code));
}

// The message of a stopped pass: its own caption, owned by the dialog, the file as listed
// with the system's separator. A file in use offers Retry (the default) and Cancel, which
// leaves the installation as it was; every other stop only OK, and says that nothing changed.
void ExpectFailureBox(const MessageBoxSeen &seen, HWND dialog, const std::string &name, bool retry)
{
    EXPECT_TEXT(seen.caption, std::string(FailureCaption));
    EXPECT_EQ(seen.owner, dialog) << "the failure message belongs to the dialog";
    EXPECT_TEXT_HAS(seen.text, Shown(name));
    if (retry)
        EXPECT_TEXT_HAS(
            seen.text,
            "［キャンセル］を押すとアップデートを中止し、インストール先を元のままにします。");
    else
        EXPECT_TEXT_HAS(seen.text, "インストール先のファイルは何も変更されていません。");
    HWND box = seen.window;
    if (retry) {
        EXPECT_NE(GetDlgItem(box, IDRETRY), nullptr) << "no Retry";
        EXPECT_NE(GetDlgItem(box, IDCANCEL), nullptr) << "no Cancel";
        EXPECT_EQ(GetDlgItem(box, IDOK), nullptr);
        EXPECT_EQ(FocusOf(box), GetDlgItem(box, IDRETRY)) << "Retry should be the default";
    } else {
        EXPECT_NE(GetDlgItem(box, IDOK), nullptr);
        EXPECT_EQ(GetDlgItem(box, IDRETRY), nullptr) << "only a file in use can be retried";
    }
    EXPECT_FALSE(IsWindowEnabled(dialog)) << "the dialog takes input under the message";
}

class EndToEnd : public testing::Test {
  protected:
    void SetUp() override { RemoveInstallRecord(); }
    void TearDown() override { RemoveInstallRecord(); }

    // A file held by a running program, then Retry (once more while it is held, then after
    // the program lets go) or Cancel.
    void ExpectFileInUseOutcome(bool retry);

    // Starts the updater and waits for its dialog; fails the test if it does not come.
    HWND StartAndFindDialog(UpdaterRun &run)
    {
        if (!run.started())
            return nullptr;
        HWND dialog = run.WaitForDialog();
        DWORD code = STILL_ACTIVE;
        if (dialog == nullptr)
            run.WaitForExit(code, 0);
        EXPECT_NE(dialog, nullptr) << "the update dialog did not appear; exit code " << code
                                   << (code == STILL_ACTIVE ? " (still running)" : "");
        return dialog;
    }

    void ExpectExitCodeZero(UpdaterRun &run)
    {
        DWORD code = 0;
        ASSERT_TRUE(run.WaitForExit(code)) << "the updater did not end";
        EXPECT_EQ(code, 0u);
    }

    // Starts the updater, presses Update and dismisses the completion it must bring; then the
    // run ends with exit code 0 and no other message.
    void RunToCompletion(const TestPath &exe, const SystemLocale *system = nullptr)
    {
        UpdaterRun run(exe, system);
        HWND dialog = StartAndFindDialog(run);
        ASSERT_NE(dialog, nullptr);
        MessageBoxSeen seen;
        HWND box = PressUpdateForCompletion(run, dialog, seen);
        ASSERT_NE(box, nullptr) << "no completion message";
        EXPECT_TRUE(run.DismissMessageBox(box));
        ExpectExitWithoutMessageBox(run, dialog);
    }

    // Waits for the end of a pass that must not report completion; a box that comes is a
    // failure, and is dismissed so the run can end.
    void ExpectExitWithoutMessageBox(UpdaterRun &run, HWND dialog)
    {
        DWORD start = GetTickCount();
        while (run.Running() && GetTickCount() - start < ExitTimeout) {
            HWND box = run.CurrentMessageBox(dialog);
            if (box != nullptr) {
                MessageBoxSeen seen = run.Describe(box);
                ADD_FAILURE() << "unexpected message box \"" << Utf8(seen.caption) << "\": \""
                              << Utf8(seen.text) << "\"";
                run.DismissMessageBox(box);
            }
            Pause();
        }
        ExpectExitCodeZero(run);
    }

    void ExpectRefusal(UpdaterRun &run, HWND dialog, HWND box)
    {
        ASSERT_NE(box, nullptr) << "no refusal shown";
        MessageBoxSeen seen = run.Describe(box);
        EXPECT_TEXT(seen.caption, std::string(RefusalCaption));
        EXPECT_TEXT(seen.text, std::string(RefusalText));
        EXPECT_EQ(seen.owner, dialog) << "the refusal belongs to the dialog";
    }

    // With a record and an update folder, a way out of the dialog that must not update.
    void ExpectEndWithoutUpdate(void (*leave)(HWND dialog))
    {
        UpdaterFolder folder;
        RecordKey record;
        WriteInstallRecord(record, folder.installation);
        const std::string name = Product.productExecutableName;
        CarryOverInstalled(folder, name, PatternBytes(3000, 1), PatternBytes(2000, 2));

        UpdaterRun run(folder.exe);
        HWND dialog = StartAndFindDialog(run);
        ASSERT_NE(dialog, nullptr);
        leave(dialog);
        ExpectExitWithoutMessageBox(run, dialog);
        EXPECT_EQ(Content(folder.Installed(name)), PatternBytes(2000, 2))
            << "the installed file was replaced";
        EXPECT_TRUE(SameTime(TimesOf(folder.Installed(name)).written, OldTimes.written));
    }
};

TEST_F(EndToEnd, DialogShowsTitlePromptAndButtons)
{
    UpdaterFolder folder;
    UpdaterRun run(folder.exe);
    HWND dialog = StartAndFindDialog(run);
    ASSERT_NE(dialog, nullptr);

    EXPECT_TEXT(TextOf(dialog), ExpectedCaption());
    EXPECT_TEXT(ItemTextOf(dialog, 1009), ExpectedPrompt());
    EXPECT_TEXT(ItemTextOf(dialog, 1008), std::string("アップデート"));
    EXPECT_TEXT(ItemTextOf(dialog, IDCANCEL), std::string("ｷｬﾝｾﾙ"));

    // No system menu, so no close box.
    LONG style = GetWindowLongA(dialog, GWL_STYLE);
    EXPECT_EQ(style & (WS_POPUP | WS_CAPTION | DS_MODALFRAME),
              WS_POPUP | WS_CAPTION | DS_MODALFRAME);
    EXPECT_EQ(style & WS_SYSMENU, 0);
    EXPECT_EQ(GetWindowLongA(GetDlgItem(dialog, 1008), GWL_STYLE) & 0x0F, BS_DEFPUSHBUTTON);
    EXPECT_EQ(FocusOf(dialog), GetDlgItem(dialog, 1008)) << "Update should start with the focus";

    // The owner is the zero-sized host window that the single-instance guard looks for.
    HWND host = GetWindow(dialog, GW_OWNER);
    EXPECT_TEXT(TextOf(host), std::string(Product.productTitle));
    RECT frame;
    GetWindowRect(host, &frame);
    EXPECT_EQ(frame.right - frame.left, 0);
    EXPECT_EQ(frame.bottom - frame.top, 0);
    EXPECT_EQ(GetWindowLongA(host, GWL_STYLE) & (WS_POPUP | WS_CAPTION | WS_CHILD), WS_POPUP);

    ClickButton(dialog, IDCANCEL);
    ExpectExitWithoutMessageBox(run, dialog);
}

TEST_F(EndToEnd, DialogIsCentredInTheWorkArea)
{
    UpdaterFolder folder;
    UpdaterRun run(folder.exe);
    HWND dialog = StartAndFindDialog(run);
    ASSERT_NE(dialog, nullptr);

    RECT work;
    ASSERT_TRUE(SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0));
    RECT frame;
    GetWindowRect(dialog, &frame);
    int width = frame.right - frame.left;
    int height = frame.bottom - frame.top;
    EXPECT_GT(width, 0);
    EXPECT_GT(height, 0);
    EXPECT_EQ(frame.left, (work.left + work.right - width) >> 1)
        << "work area " << work.left << "," << work.top << "-" << work.right << "," << work.bottom;
    EXPECT_EQ(frame.top, (work.top + work.bottom - height) >> 1);

    ClickButton(dialog, IDCANCEL);
    ExpectExitWithoutMessageBox(run, dialog);
}

TEST_F(EndToEnd, UpdateWithoutRecordRefusesEachTimeAndTheDialogStays)
{
    UpdaterFolder folder;
    folder.Carry(Product.productExecutableName, PatternBytes(100, 3), NewTimes);
    UpdaterRun run(folder.exe);
    HWND dialog = StartAndFindDialog(run);
    ASSERT_NE(dialog, nullptr);

    for (int press = 1; press <= 2; ++press) {
        SCOPED_TRACE(testing::Message() << "press " << press);
        ClickButton(dialog, 1008);
        HWND box = run.WaitForMessageBox(dialog);
        ExpectRefusal(run, dialog, box);
        if (box == nullptr)
            break;
        EXPECT_TRUE(run.DismissMessageBox(box));
        Pause(100);
        EXPECT_TRUE(IsWindowVisible(dialog)) << "the dialog should stay after the refusal";
        EXPECT_TEXT(ItemTextOf(dialog, 1009), ExpectedPrompt());
        EXPECT_EQ(run.CurrentMessageBox(dialog), nullptr);
    }
    EXPECT_FALSE(FileExists(folder.Installed(Product.productExecutableName)));

    ClickButton(dialog, IDCANCEL);
    ExpectExitWithoutMessageBox(run, dialog);
}

TEST_F(EndToEnd, EnterWithIncompleteRecordRefusesEachTimeAndEscapeEnds)
{
    UpdaterFolder folder;
    RecordKey record;
    WriteInstallRecord(record, folder.installation);
    record.DeleteValue("InstType");
    UpdaterRun run(folder.exe);
    HWND dialog = StartAndFindDialog(run);
    ASSERT_NE(dialog, nullptr);

    for (int press = 1; press <= 2; ++press) {
        SCOPED_TRACE(testing::Message() << "press " << press);
        PressKey(dialog, VK_RETURN);
        HWND box = run.WaitForMessageBox(dialog);
        ExpectRefusal(run, dialog, box);
        if (box == nullptr)
            break;
        // Enter on the refusal dismisses it, as its OK button has the focus.
        PressKey(box, VK_RETURN);
        DWORD start = GetTickCount();
        while (IsWindow(box) && IsWindowVisible(box) && GetTickCount() - start < WindowTimeout)
            Pause();
        EXPECT_FALSE(IsWindow(box) && IsWindowVisible(box)) << "Enter did not dismiss the refusal";
        EXPECT_TRUE(IsWindowVisible(dialog));
    }

    PressKey(dialog, VK_ESCAPE);
    ExpectExitWithoutMessageBox(run, dialog);
}

TEST_F(EndToEnd, CancelEndsWithoutUpdating)
{
    ExpectEndWithoutUpdate([](HWND dialog) { ClickButton(dialog, IDCANCEL); });
}

TEST_F(EndToEnd, EscapeEndsWithoutUpdating)
{
    ExpectEndWithoutUpdate([](HWND dialog) { PressKey(dialog, VK_ESCAPE); });
}

// The dialog has no close box, but a close request still ends it like Cancel.
TEST_F(EndToEnd, CloseRequestEndsWithoutUpdating)
{
    ExpectEndWithoutUpdate([](HWND dialog) { PostMessageA(dialog, WM_CLOSE, 0, 0); });
}

TEST_F(EndToEnd, EnterOnCancelEndsWithoutUpdating)
{
    ExpectEndWithoutUpdate([](HWND dialog) {
        PressKey(dialog, VK_TAB);
        DWORD start = GetTickCount();
        while (FocusOf(dialog) != GetDlgItem(dialog, IDCANCEL) &&
               GetTickCount() - start < WindowTimeout)
            Pause();
        ASSERT_EQ(FocusOf(dialog), GetDlgItem(dialog, IDCANCEL)) << "Tab did not reach Cancel";
        PressKey(dialog, VK_RETURN);
    });
}

// The smoke test: one file, the executable, which only the replaced first entry names.
TEST_F(EndToEnd, UpdateCopiesTheExecutableAndReportsCompletion)
{
    UpdaterFolder folder;
    RecordKey record;
    WriteInstallRecord(record, folder.installation);
    const std::string name = Product.productExecutableName;
    const std::string fresh = PatternBytes(70000, 4);
    CarryOverInstalled(folder, name, fresh, PatternBytes(1000, 5));

    UpdaterRun run(folder.exe);
    HWND dialog = StartAndFindDialog(run);
    ASSERT_NE(dialog, nullptr);
    MessageBoxSeen seen;
    HWND box = PressUpdateForCompletion(run, dialog, seen);
    ASSERT_NE(box, nullptr) << "no completion message";

    EXPECT_TRUE(Content(folder.Installed(name)) == fresh) << "the executable was not updated";
    // Wine does not keep the creation time SetFileTime gives, so only the write time is seen.
    EXPECT_TRUE(SameTime(TimesOf(folder.Installed(name)).written, NewTimes.written));

    EXPECT_TRUE(run.DismissMessageBox(box));
    ExpectExitCodeZero(run);
}

TEST_F(EndToEnd, UpdateCopiesListedFilesKeepsTheOthersAndLocksTheDialog)
{
    const std::string exeName = Product.productExecutableName;
    const std::string placeholder = MainFiles[0];
    const std::string plain = PlainMainName({exeName});
    const std::string notCarried = PlainMainName({exeName, plain});
    const std::string extraOnly = ExtraOnlyName();
    ASSERT_FALSE(plain.empty()) << "the main list needs a second plain name";

    UpdaterFolder folder;
    RecordKey record;
    WriteInstallRecord(record, folder.installation);
    std::vector<std::string> carried{exeName, plain};
    if (!extraOnly.empty())
        carried.push_back(extraOnly);
    for (size_t i = 0; i < carried.size(); ++i) {
        CarryOverInstalled(folder, carried[i], PatternBytes(5000 + i, 10 + unsigned(i)),
                           PatternBytes(300, 40 + unsigned(i)));
    }
    // The placeholder the first entry held before start-up replaced it is not copied.
    bool placeholderUnlisted = !Contains(MainNames(), placeholder) &&
                               !Contains(ExtraNames(), placeholder) && !InSubfolder(placeholder);
    if (placeholderUnlisted)
        folder.Carry(placeholder, "placeholder", NewTimes);
    // A listed file the update does not carry keeps its content but loses read-only.
    if (!notCarried.empty()) {
        folder.Install(notCarried, "kept", OldTimes);
        SetAttributes(folder.Installed(notCarried), FILE_ATTRIBUTE_READONLY);
        ASSERT_TRUE(AttributesOf(folder.Installed(notCarried)) & FILE_ATTRIBUTE_READONLY);
    }

    UpdaterRun run(folder.exe);
    HWND dialog = StartAndFindDialog(run);
    ASSERT_NE(dialog, nullptr);
    MessageBoxSeen seen;
    HWND box = PressUpdateForCompletion(run, dialog, seen);
    ASSERT_NE(box, nullptr) << "no completion message";
    EXPECT_EQ(seen.owner, nullptr) << "the completion message has no owner";
    // Otherwise Update could start a second pass under the first one's message.
    EXPECT_FALSE(IsWindowEnabled(dialog)) << "the dialog takes input during the completion";
    EXPECT_TRUE(IsWindow(dialog));

    for (size_t i = 0; i < carried.size(); ++i) {
        SCOPED_TRACE(carried[i]);
        std::wstring path = folder.Installed(carried[i]);
        EXPECT_TRUE(Content(path) == PatternBytes(5000 + i, 10 + unsigned(i))) << "not updated";
        EXPECT_TRUE(SameTime(TimesOf(path).written, NewTimes.written));
    }
    if (placeholderUnlisted) {
        EXPECT_FALSE(FileExists(folder.Installed(placeholder))) << placeholder << " was copied";
    }
    if (!notCarried.empty()) {
        EXPECT_EQ(Content(folder.Installed(notCarried)), "kept");
        EXPECT_EQ(AttributesOf(folder.Installed(notCarried)) & FILE_ATTRIBUTE_READONLY, 0u);
    }

    EXPECT_TRUE(run.DismissMessageBox(box));
    ExpectExitCodeZero(run);
}

// Known before the first change: the files before it are not updated either. The message
// names the file and the folder the installation lacks.
TEST_F(EndToEnd, PassStoppedByAMissingSubfolderEndsWithoutCompletion)
{
    std::string inSubfolder;
    for (const std::string &name : MainNames()) {
        if (InSubfolder(name)) {
            inSubfolder = name;
            break;
        }
    }
    if (inSubfolder.empty())
        GTEST_SKIP() << "the main list names no file in a subfolder";
    const std::string exeName = Product.productExecutableName;
    const std::string extraOnly = ExtraOnlyName();

    UpdaterFolder folder;
    RecordKey record;
    WriteInstallRecord(record, folder.installation);
    CarryOverInstalled(folder, exeName, "new executable", "old executable");
    folder.Carry(inSubfolder, "new picture", NewTimes);
    if (!extraOnly.empty()) {
        CarryOverInstalled(folder, extraOnly, "new extra", "old extra");
    }

    UpdaterRun run(folder.exe);
    HWND dialog = StartAndFindDialog(run);
    ASSERT_NE(dialog, nullptr);
    ClickButton(dialog, 1008);
    HWND box = run.WaitForMessageBox(dialog);
    ASSERT_NE(box, nullptr) << "the stop was not told";
    MessageBoxSeen seen = run.Describe(box);
    ExpectFailureBox(seen, dialog, inSubfolder, false);
    const std::string subfolder = inSubfolder.substr(0, inSubfolder.find('/'));
    EXPECT_TEXT_HAS(seen.text, "フォルダ「" + subfolder + "」がありません");
    EXPECT_TRUE(run.DismissMessageBox(box));
    ExpectExitWithoutMessageBox(run, dialog);
    EXPECT_EQ(Content(folder.Installed(exeName)), "old executable");
    EXPECT_FALSE(FileExists(folder.Installed(inSubfolder)));
    if (!extraOnly.empty()) {
        EXPECT_EQ(Content(folder.Installed(extraOnly)), "old extra") << extraOnly;
    }
}

// The game itself running from the installed exe: Windows lets such a file be read and even
// renamed, but not written. It is told as in use before anything is staged; Retry tries it
// again, and again while the game runs; once it has ended, the pass goes on to its
// completion. Cancel stops it there, with nothing left behind.
void EndToEnd::ExpectFileInUseOutcome(bool retry)
{
    const std::string exeName = Product.productExecutableName;
    const std::string plain = PlainMainName({exeName});
    const std::string extraOnly = ExtraOnlyName();
    ASSERT_FALSE(plain.empty()) << "the main list needs a second plain name";

    UpdaterFolder folder;
    RecordKey record;
    WriteInstallRecord(record, folder.installation);
    const std::string game = Content(GameStandIn());
    ASSERT_GT(game.size(), 1000u) << "no stand-in game beside the driver";
    CarryOverInstalled(folder, exeName, "new executable", game);
    CarryOverInstalled(folder, plain, "new data", "old data");
    if (!extraOnly.empty()) {
        CarryOverInstalled(folder, extraOnly, "new extra", "old extra");
    }
    const size_t installed = extraOnly.empty() ? 2u : 3u;
    RunningProgram running(folder.Installed(exeName));
    ASSERT_TRUE(running.Running()) << "the stand-in game did not start";

    UpdaterRun run(folder.exe);
    HWND dialog = StartAndFindDialog(run);
    if (dialog != nullptr) {
        ClickButton(dialog, 1008);
        HWND box = run.WaitForMessageBox(dialog);
        EXPECT_NE(box, nullptr) << "the running game was not told";
        if (box != nullptr) {
            MessageBoxSeen seen = run.Describe(box);
            ExpectFailureBox(seen, dialog, exeName, true);
            EXPECT_TEXT_HAS(seen.text, "他のプログラムが使用中です");
            EXPECT_EQ(FolderNames(folder.installation).size(), installed)
                << "staged before the question";
            if (retry) {
                // Still running: the same question again.
                EXPECT_TRUE(PressBoxButton(box, IDRETRY));
                box = run.WaitForMessageBox(dialog);
                ASSERT_NE(box, nullptr) << "a retry of a file still held was not told";
                ExpectFailureBox(run.Describe(box), dialog, exeName, true);
                running.End();
                EXPECT_EQ(Content(folder.Installed(exeName)), game);
                EXPECT_TRUE(PressBoxButton(box, IDRETRY));
                box = run.WaitForMessageBox(dialog);
                ASSERT_NE(box, nullptr) << "no completion after the retry";
                seen = run.Describe(box);
                EXPECT_TEXT(seen.caption, std::string(CompletionCaption));
                EXPECT_TEXT(seen.text, std::string(CompletionText));
                EXPECT_FALSE(IsWindowEnabled(dialog));
                EXPECT_TRUE(run.DismissMessageBox(box));
                ExpectExitWithoutMessageBox(run, dialog);
            } else {
                EXPECT_TRUE(PressBoxButton(box, IDCANCEL));
                ExpectExitWithoutMessageBox(run, dialog);
            }
        }
    }
    EXPECT_EQ(running.Running(), !retry);
    running.End();
    EXPECT_TRUE(Content(folder.Installed(exeName)) == (retry ? "new executable" : game));
    EXPECT_EQ(Content(folder.Installed(plain)), retry ? "new data" : "old data");
    if (!extraOnly.empty()) {
        EXPECT_EQ(Content(folder.Installed(extraOnly)), retry ? "new extra" : "old extra")
            << extraOnly;
    }
    EXPECT_EQ(FolderNames(folder.installation).size(), installed)
        << "a temporary file was left behind";
}

TEST_F(EndToEnd, PassStoppedByAFileInUseEndsWithoutCompletion)
{
    ExpectFileInUseOutcome(false);
}

TEST_F(EndToEnd, FileInUseRetriedOnceFreedGoesOnToCompletion)
{
    ExpectFileInUseOutcome(true);
}

// On a disk that fills up (a small file system that tests/system/full-disk mounts): the
// message names the file and asks for space on the installation's drive; the file that did
// not fit is as it was and nothing is left behind.
TEST_F(EndToEnd, PassStoppedByAFullDiskNamesTheFile)
{
    const char *disk = getenv("UPDATER_TEST_FULL_DISK");
    if (disk == nullptr)
        GTEST_SKIP() << "run through tests/system/full-disk";
    const std::string exeName = Product.productExecutableName;
    const std::string plain = PlainMainName({exeName});
    ASSERT_FALSE(plain.empty()) << "the main list needs a second plain name";

    UpdaterFolder folder;
    const std::string installation = std::string(disk) + "\\インストール先表";
    MakeFolder(installation);
    RecordKey record;
    WriteInstallRecord(record, installation);
    folder.Carry(exeName, "new executable", NewTimes);
    WriteFileBytes(installation + "\\" + exeName, "old executable");
    WriteFileBytes(installation + "\\" + plain, "old data");
    ULARGE_INTEGER free = {};
    ASSERT_TRUE(GetDiskFreeSpaceExA((installation + "\\").c_str(), &free, nullptr, nullptr));
    ASSERT_LT(free.QuadPart, 4u * 1024 * 1024) << "not a small disk";
    folder.Carry(plain, PatternBytes(static_cast<size_t>(free.QuadPart) + 3 * 65536 + 77, 5),
                 NewTimes);

    UpdaterRun run(folder.exe);
    HWND dialog = StartAndFindDialog(run);
    if (dialog != nullptr) {
        ClickButton(dialog, 1008);
        HWND box = run.WaitForMessageBox(dialog);
        EXPECT_NE(box, nullptr) << "the full disk was not told";
        if (box != nullptr) {
            MessageBoxSeen seen = run.Describe(box);
            ExpectFailureBox(seen, dialog, "", false);
            EXPECT_TEXT_HAS(seen.text, "空き容量が足りません");
            EXPECT_TEXT_HAS(seen.text, installation);
            EXPECT_TRUE(run.DismissMessageBox(box));
        }
        ExpectExitWithoutMessageBox(run, dialog);
    }
    EXPECT_EQ(Content(installation + "\\" + exeName), "old executable");
    EXPECT_EQ(Content(installation + "\\" + plain), "old data");
    EXPECT_EQ(FolderNames(installation).size(), 2u) << "a temporary file was left behind";
    RemoveTree(installation);
}

// On a drive without hard links (FAT32, as tests/system/fat32-drive mounts): a large installed
// file is set aside by a rename, not copied, so the window answers throughout; the update goes
// in and nothing of the pass is left.
TEST_F(EndToEnd, DriveWithoutHardLinksUpdatesAndAnswersThroughout)
{
    const char *drive = getenv("UPDATER_TEST_FAT_DRIVE");
    if (drive == nullptr)
        GTEST_SKIP() << "run through tests/system/fat32-drive";
    const std::string exeName = Product.productExecutableName;
    const std::string plain = PlainMainName({exeName});
    UpdaterFolder folder;
    const std::string installation = std::string(drive) + "\\" + Product.productFolderName;
    MakeFolder(installation);
    RecordKey record;
    WriteInstallRecord(record, installation);
    // Copied aside, this one alone kept the window silent for seconds on such a drive.
    const std::string large = PatternBytes(160u * 1024 * 1024 + 5, 41);
    WriteFileBytes(installation + "\\" + exeName, large);
    WriteFileBytes(installation + "\\" + plain, "old data");
    folder.Carry(exeName, PatternBytes(1024 * 1024 + 3, 42), NewTimes);
    folder.Carry(plain, PatternBytes(2 * 1024 * 1024 + 7, 43), NewTimes);

    UpdaterRun run(folder.exe);
    HWND dialog = StartAndFindDialog(run);
    ASSERT_NE(dialog, nullptr);
    ClickButton(dialog, 1008);
    unsigned probes = 0, unanswered = 0;
    DWORD slowest = 0;
    HWND box = nullptr;
    DWORD start = GetTickCount();
    while (box == nullptr && run.Running() && GetTickCount() - start < ExitTimeout) {
        DWORD_PTR result = 0;
        DWORD sent = GetTickCount();
        ++probes;
        // Answering at all, by the wait after which Windows calls a window not responding; how
        // fast is the benchmark's to measure, on a machine that nothing else shares.
        if (!SendMessageTimeoutA(dialog, WM_NULL, 0, 0, SMTO_NORMAL, HungWindowTimeout, &result))
            ++unanswered;
        slowest = std::max(slowest, GetTickCount() - sent);
        box = run.CurrentMessageBox(dialog);
        Pause();
    }
    ASSERT_NE(box, nullptr) << "no completion";
    MessageBoxSeen seen = run.Describe(box);
    EXPECT_TEXT(seen.text, std::string(CompletionText));
    EXPECT_EQ(unanswered, 0u) << "of " << probes << " probes; slowest " << slowest << " ms";
    EXPECT_TRUE(run.DismissMessageBox(box));
    ExpectExitWithoutMessageBox(run, dialog);
    EXPECT_TRUE(
        SameBytes(Content(installation + "\\" + exeName), PatternBytes(1024 * 1024 + 3, 42)));
    EXPECT_TRUE(
        SameBytes(Content(installation + "\\" + plain), PatternBytes(2 * 1024 * 1024 + 7, 43)));
    std::vector<std::string> listed{exeName, plain};
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(FolderNames(installation), listed) << "leftovers of the pass";
    RemoveTree(installation);
}

// Explorer runs an exe inside a zip by extracting it alone into a Temp1_ folder: without its
// files the update is refused, says why, and changes nothing, attributes included.
TEST_F(EndToEnd, RunFromInsideTheArchiveIsRefusedAndChangesNothing)
{
    const std::string exeName = Product.productExecutableName;
    UpdaterFolder folder;
    RecordKey record;
    WriteInstallRecord(record, folder.installation);
    folder.Install(exeName, "old executable", OldTimes);
    ASSERT_TRUE(SetAttributes(folder.Installed(exeName), FILE_ATTRIBUTE_READONLY));
    TemporaryFolder temporary;
    const std::string exe = ExtractedAlone(temporary);

    UpdaterRun run(exe);
    HWND dialog = StartAndFindDialog(run);
    ASSERT_NE(dialog, nullptr);
    ClickButton(dialog, 1008);
    HWND box = run.WaitForMessageBox(dialog);
    ASSERT_NE(box, nullptr) << "the missing files were not told";
    MessageBoxSeen seen = run.Describe(box);
    ExpectFailureBox(seen, dialog, Product.productFolderName, false);
    EXPECT_TEXT_HAS(seen.text, "アップデートのファイルがそろっていません。");
    EXPECT_TEXT_HAS(seen.text, "圧縮ファイルの中から直接実行されています。");
    EXPECT_TEXT_HAS(seen.text, "すべて一つのフォルダに展開し");
    EXPECT_TRUE(run.DismissMessageBox(box));
    ExpectExitWithoutMessageBox(run, dialog);
    EXPECT_EQ(Content(folder.Installed(exeName)), "old executable");
    EXPECT_TRUE(AttributesOf(folder.Installed(exeName)) & FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(SameTime(TimesOf(folder.Installed(exeName)).written, OldTimes.written));
}

// A scanner holding a file for a moment is waited out: no question, and the pass completes.
TEST_F(EndToEnd, BriefHoldIsWaitedOutWithoutAQuestion)
{
    const std::string exeName = Product.productExecutableName;
    const std::string plain = PlainMainName({exeName});
    UpdaterFolder folder;
    RecordKey record;
    WriteInstallRecord(record, folder.installation);
    CarryOverInstalled(folder, exeName, "new executable", "old executable");
    CarryOverInstalled(folder, plain, "new data", "old data");
    HANDLE scanner = CreateFileW(folder.Installed(plain).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(scanner, INVALID_HANDLE_VALUE);

    UpdaterRun run(folder.exe);
    HWND dialog = StartAndFindDialog(run);
    if (dialog != nullptr) {
        ClickButton(dialog, 1008);
        DWORD start = GetTickCount();
        while (GetTickCount() - start < 1500) {
            EXPECT_EQ(run.CurrentMessageBox(dialog), nullptr) << "asked while the hold was brief";
            Pause();
        }
    }
    CloseHandle(scanner);
    if (dialog != nullptr) {
        HWND box = run.WaitForMessageBox(dialog);
        ASSERT_NE(box, nullptr) << "no completion";
        MessageBoxSeen seen = run.Describe(box);
        EXPECT_TEXT(seen.text, std::string(CompletionText));
        EXPECT_TRUE(run.DismissMessageBox(box));
        ExpectExitCodeZero(run);
    }
    EXPECT_EQ(Content(folder.Installed(exeName)), "new executable");
    EXPECT_EQ(Content(folder.Installed(plain)), "new data");
}

// Ended at any moment (as by Task Manager or a power cut), every installed file is the old
// or the new one; the next run completes the update and leaves exactly the listed files.
TEST_F(EndToEnd, KilledPassLeavesOldOrNewAndTheNextRunCompletes)
{
    std::vector<std::string> names{Product.productExecutableName};
    while (names.size() < 3 && !PlainMainName(names).empty())
        names.push_back(PlainMainName(names));
    const size_t fileSize = 48u * 1024 * 1024 + 999;
    UpdaterFolder folder;
    RecordKey record;
    WriteInstallRecord(record, folder.installation);
    for (size_t i = 0; i < names.size(); ++i)
        folder.Carry(names[i], PatternBytes(fileSize + i, 80 + unsigned(i)), NewTimes);
    // Killed once the first file is in hand, then once the last one is.
    const std::string moments[] = {"\n1 / ", "\n" + std::to_string(names.size()) + " / "};
    for (const std::string &moment : moments) {
        SCOPED_TRACE("killed at" + Utf8(moment));
        for (size_t i = 0; i < names.size(); ++i)
            folder.Install(names[i], "old " + names[i], OldTimes);
        UpdaterRun run(folder.exe);
        HWND dialog = StartAndFindDialog(run);
        ASSERT_NE(dialog, nullptr);
        ClickButton(dialog, 1008);
        DWORD start = GetTickCount();
        bool reached = false;
        while (!reached && run.CurrentMessageBox(dialog) == nullptr &&
               GetTickCount() - start < ExitTimeout) {
            reached = ItemTextOf(dialog, 1009).find(moment) != std::string::npos;
            Pause(5);
        }
        run.Kill();
        EXPECT_TRUE(reached) << "the pass ended before the moment";
        for (size_t i = 0; i < names.size(); ++i) {
            SCOPED_TRACE(names[i]);
            std::string bytes = Content(folder.Installed(names[i]));
            EXPECT_TRUE(bytes == "old " + names[i] ||
                        bytes == PatternBytes(fileSize + i, 80 + unsigned(i)))
                << "torn: " << bytes.size() << " bytes";
        }
    }
    RunToCompletion(folder.exe);
    for (size_t i = 0; i < names.size(); ++i) {
        SCOPED_TRACE(names[i]);
        std::string bytes;
        ASSERT_TRUE(ReadFileBytes(folder.Installed(names[i]), bytes));
        EXPECT_TRUE(SameBytes(bytes, PatternBytes(fileSize + i, 80 + unsigned(i))));
        EXPECT_TRUE(SameTime(TimesOf(folder.Installed(names[i])).written, NewTimes.written));
    }
    std::vector<std::string> listed(names);
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(FolderNames(folder.installation), listed) << "leftovers of the killed passes";
}

// A pass of more than 512 MiB: the dialog answers all the while, its prompt follows the
// pass, and neither close requests, a second press nor the end of the session stop it.
TEST_F(EndToEnd, LongPassAnswersShowsProgressAndOutlastsCloseRequests)
{
    // Files of 256 MiB and more: the end of each is where the system writes it out.
    std::vector<std::string> names{Product.productExecutableName};
    if (!PlainMainName(names).empty())
        names.push_back(PlainMainName(names));
    const size_t fileSize = 544u * 1024 * 1024 / names.size() + 4321;
    UpdaterFolder folder;
    RecordKey record;
    WriteInstallRecord(record, folder.installation);
    for (size_t i = 0; i < names.size(); ++i) {
        folder.Carry(names[i], PatternBytes(fileSize + i, 60 + unsigned(i)), NewTimes);
        folder.Install(names[i], "old", OldTimes);
    }
    ASSERT_GE(names.size() * fileSize, 512u * 1024 * 1024);

    UpdaterRun run(folder.exe);
    HWND dialog = StartAndFindDialog(run);
    ASSERT_NE(dialog, nullptr);
    HWND host = GetWindow(dialog, GW_OWNER);
    const std::string before = ExpectedPrompt();
    ClickButton(dialog, 1008);

    std::vector<std::string> prompts;
    unsigned probes = 0, unanswered = 0, hidden = 0;
    DWORD slowest = 0;
    bool disturbed = false;
    HWND box = nullptr;
    DWORD start = GetTickCount();
    while (run.Running() && GetTickCount() - start < ExitTimeout) {
        DWORD_PTR result = 0;
        DWORD sent = GetTickCount();
        ++probes;
        if (!SendMessageTimeoutA(dialog, WM_NULL, 0, 0, SMTO_NORMAL, HungWindowTimeout, &result))
            ++unanswered;
        slowest = std::max(slowest, GetTickCount() - sent);
        box = run.CurrentMessageBox(dialog);
        if (box != nullptr)
            break;
        // A close request let through would end (hide) or destroy the dialog.
        if (!IsWindowVisible(dialog))
            ++hidden;
        std::string prompt = ItemTextOf(dialog, 1009);
        if (prompt != before && (prompts.empty() || prompt != prompts.back()))
            prompts.push_back(prompt);
        if (!prompts.empty() && !disturbed) {
            disturbed = true;
            // Closing the dialog, the host window, from the taskbar, and Update again; a quit
            // message, which must not be lost, nor end the completion message before it shows.
            PostMessageA(dialog, WM_CLOSE, 0, 0);
            PostMessageA(host, WM_CLOSE, 0, 0);
            PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
            ClickButton(dialog, 1008);
            PostThreadMessageA(GetWindowThreadProcessId(dialog, nullptr), WM_QUIT, 0, 0);
            for (HWND window : {dialog, host}) {
                DWORD_PTR answer = TRUE;
                EXPECT_TRUE(SendMessageTimeoutA(window, WM_QUERYENDSESSION, 0, 0, SMTO_NORMAL,
                                                HungWindowTimeout, &answer));
                EXPECT_EQ(answer, static_cast<DWORD_PTR>(FALSE))
                    << "the end of the session was let through mid-pass";
            }
        }
        Pause();
    }
    ASSERT_NE(box, nullptr) << "no completion";
    MessageBoxSeen seen = run.Describe(box);
    EXPECT_TEXT(seen.caption, std::string(CompletionCaption));
    EXPECT_TEXT(seen.text, std::string(CompletionText));
    EXPECT_EQ(unanswered, 0u) << "of " << probes << " probes; slowest " << slowest << " ms";
    EXPECT_EQ(hidden, 0u) << "the dialog went away during the pass";
    EXPECT_TRUE(IsWindowVisible(dialog));
    EXPECT_GE(prompts.size(), 2u) << "the prompt did not follow the pass";
    EXPECT_TRUE(disturbed);
    for (const std::string &prompt : prompts) {
        SCOPED_TRACE(Utf8(prompt));
        EXPECT_TEXT_HAS(prompt, " を更新しています…\n");
        EXPECT_TEXT_HAS(prompt, " / " + std::to_string(names.size()) + " ファイル　");
        EXPECT_TEXT_HAS(prompt, " / 545 MB");
    }
    EXPECT_TRUE(run.DismissMessageBox(box));
    // A second pass would show a second completion.
    ExpectExitWithoutMessageBox(run, dialog);
    for (size_t i = 0; i < names.size(); ++i) {
        SCOPED_TRACE(names[i]);
        std::string bytes;
        ASSERT_TRUE(ReadFileBytes(folder.Installed(names[i]), bytes));
        EXPECT_TRUE(SameBytes(bytes, PatternBytes(fileSize + i, 60 + unsigned(i))));
    }
}

// An installation the user cannot write, however elevated: the first copy, denied before any
// change, starts one copy through the elevation prompt (which Wine grants at once) and waits
// hidden, answering; that copy runs the pass without asking, is denied in turn, says so
// without advising an administrator and starts no other. The first ends as the second does.
TEST_F(EndToEnd, InstallationNobodyMayWriteIsTriedOnceElevatedThenTold)
{
    const std::string exeName = Product.productExecutableName;
    UpdaterFolder folder;
    RecordKey record;
    WriteInstallRecord(record, folder.installation);
    CarryOverInstalled(folder, exeName, "new executable", "old executable");
    ImmutableFolder locked(folder.installation);
    if (!locked.made())
        GTEST_SKIP() << "chattr +i is not available here";

    UpdaterRun first(folder.exe);
    HWND dialog = StartAndFindDialog(first);
    ASSERT_NE(dialog, nullptr);
    ClickButton(dialog, 1008);
    UpdaterRun second(folder.exe, first);
    ASSERT_TRUE(second.started()) << "no elevated copy was started";
    HWND secondDialog = second.WaitForDialog();
    ASSERT_NE(secondDialog, nullptr);
    EXPECT_FALSE(IsWindowVisible(dialog)) << "the first copy's dialog still shows";
    HWND box = second.WaitForMessageBox(secondDialog);
    ASSERT_NE(box, nullptr) << "the elevated copy did not tell its stop";
    MessageBoxSeen seen = second.Describe(box);
    ExpectFailureBox(seen, secondDialog, exeName, false);
    EXPECT_TEXT_HAS(seen.text,
                    "管理者として実行しても、このファイルを書き換える権限がありません。");
    EXPECT_FALSE(Has(seen.text, "［管理者として実行］")) << Utf8(seen.text);
    EXPECT_FALSE(OtherCopyRunning(folder.exe, {first.processId(), second.processId()}))
        << "a third copy was started";
    DWORD_PTR answer = 0;
    EXPECT_NE(SendMessageTimeoutW(dialog, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 2000, &answer), 0)
        << "the waiting copy does not answer";
    EXPECT_TRUE(first.Running());

    // Whatever ends the elevated copy ends the first with its exit code.
    second.Kill();
    DWORD code = 0;
    ASSERT_TRUE(first.WaitForExit(code)) << "the first copy did not end with the elevated one";
    EXPECT_EQ(code, 99u);
    EXPECT_EQ(Content(folder.Installed(exeName)), "old executable");
    EXPECT_EQ(FolderNames(folder.installation), std::vector<std::string>{exeName});
}

// The first name of the main list in a subfolder; empty when there is none.
std::string SubfolderName()
{
    for (const std::string &name : MainNames()) {
        if (InSubfolder(name))
            return name;
    }
    return "";
}

// Whoever may write the install folder planted links where the update writes nothing: a save
// folder and a listed subfolder linked into the victim's folder, listed files that the update
// does not carry linked to the victim's read-only files, by name and as a second name (a hard
// link), and links at the names of an ended pass's leftovers. The record's Dir is written with
// forward slashes and a closing one. The update completes, nothing of the victim's changes
// (not even a file made and removed there), and of the planted links only those at the
// leftovers' names are gone, renamed over.
TEST_F(EndToEnd, LinksWhereTheUpdateWritesNothingAreLeftAloneAndItCompletes)
{
    const std::string exeName = Product.productExecutableName;
    const std::string linked = PlainMainName({exeName});
    const std::string shared = PlainMainName({exeName, linked});
    const std::string inSubfolder = SubfolderName();
    ASSERT_FALSE(shared.empty()) << "the main list needs two plain names after the executable";
    UpdaterFolder folder;
    const UnixRemoval planted(folder.installation);
    TemporaryFolder elsewhere;
    const std::string victim = elsewhere / "victim";
    MakeFolder(victim);
    MakeFolder(victim + "\\saves");
    // Read-only where the attributes are at stake; writable where a removal is, since a
    // read-only file refuses to be deleted even through a link.
    for (const char *name : {"linked.dat", "shared.dat", "leftover.dat", "journal.dat"})
        WriteFileBytes(victim + "\\" + name, std::string("the victim's ") + name);
    for (const char *name : {"linked.dat", "shared.dat"})
        ASSERT_TRUE(SetAttributes(victim + "\\" + name, FILE_ATTRIBUTE_READONLY));
    std::wstring wideDir = folder.installation + L"\\";
    std::replace(wideDir.begin(), wideDir.end(), L'\\', L'/');
    RecordKey record;
    WriteInstallRecord(record, folder.installation);
    record.SetPath("Dir", wideDir);
    const std::string fresh = PatternBytes(70000, 61);
    CarryOverInstalled(folder, exeName, fresh, "old executable");
    const std::string installation = Cp932(folder.installation);
    const std::string inside = installation + "\\";
    ASSERT_TRUE(PlantSymbolicLink(inside + "save", victim + "\\saves"));
    ASSERT_TRUE(PlantSymbolicLink(inside + linked, victim + "\\linked.dat"));
    ASSERT_TRUE(CreateHardLinkW(TestPath(inside + shared).system(),
                                TestPath(victim + "\\shared.dat").system(), nullptr));
    ASSERT_TRUE(PlantSymbolicLink(inside + exeName + ".qupdate-new", victim + "\\leftover.dat"));
    ASSERT_TRUE(PlantSymbolicLink(inside + exeName + ".qupdate-kept", victim + "\\missing.dat"));
    ASSERT_TRUE(PlantSymbolicLink(inside + shared + ".qupdate-old", victim + "\\leftover.dat"));
    ASSERT_TRUE(
        PlantSymbolicLink(inside + Cp932(JournalName) + ".qupdate-new", victim + "\\journal.dat"));
    std::vector<std::string> left{exeName, linked, "save", shared};
    if (!inSubfolder.empty()) {
        const std::string subfolder = inSubfolder.substr(0, inSubfolder.find('/'));
        MakeFolder(victim + "\\" + subfolder);
        WriteFileBytes(victim + "\\" + Shown(inSubfolder), "the victim's movie");
        ASSERT_TRUE(SetAttributes(victim + "\\" + Shown(inSubfolder), FILE_ATTRIBUTE_READONLY));
        ASSERT_TRUE(PlantSymbolicLink(inside + subfolder, victim + "\\" + subfolder));
        left.push_back(subfolder);
    }
    std::sort(left.begin(), left.end());
    std::vector<std::string> victimFolders{victim, victim + "\\saves"};
    if (!inSubfolder.empty())
        victimFolders.push_back(victim + "\\" + inSubfolder.substr(0, inSubfolder.find('/')));
    std::vector<std::string> before;
    for (const std::string &path : victimFolders)
        before.push_back(StateOf(path));

    RunToCompletion(folder.exe);

    EXPECT_TRUE(Content(folder.Installed(exeName)) == fresh) << "the executable was not updated";
    EXPECT_TRUE(SameTime(TimesOf(folder.Installed(exeName)).written, NewTimes.written));
    for (size_t i = 0; i < victimFolders.size(); ++i)
        EXPECT_EQ(StateOf(victimFolders[i]), before[i]) << victimFolders[i];
    EXPECT_EQ(FolderNames(folder.installation), left) << "leftovers of the pass";
}

// A link on the way of a file the update carries stops the update before any change, named
// with the file (or the install folder) and said to be a link the tool does not write through:
// the install folder itself a link, the carried file a link, in a linked folder, or a second
// name of another file (a hard link). Nothing of the victim's changes, nothing else is
// updated, and nothing of the pass is left.
TEST_F(EndToEnd, LinkOnTheWayOfACarriedFileStopsBeforeAnyChange)
{
    const std::string exeName = Product.productExecutableName;
    const std::string other = PlainMainName({exeName});
    const std::string inSubfolder = SubfolderName();
    enum Case { InstallFolder, CarriedFile, FolderOnTheWay, SecondName };
    for (Case planted : {InstallFolder, CarriedFile, FolderOnTheWay, SecondName}) {
        SCOPED_TRACE(planted);
        if (planted == FolderOnTheWay && inSubfolder.empty())
            continue;
        UpdaterFolder folder;
        const UnixRemoval links(folder.installation);
        TemporaryFolder elsewhere;
        const std::string victim = elsewhere / "victim";
        MakeFolder(victim);
        WriteFileBytes(victim + "\\victim.dat", "the victim's data");
        const std::string installation = Cp932(folder.installation);
        const std::string linkedFolder = installation + " link";
        const UnixRemoval linkedInstallation(linkedFolder);
        RecordKey record;
        WriteInstallRecord(record, planted == InstallFolder ? linkedFolder : installation);
        CarryOverInstalled(folder, other, "new data", "old data");
        std::string named = planted == InstallFolder ? "" : exeName;
        if (planted == InstallFolder) {
            CarryOverInstalled(folder, exeName, "new executable", "old executable");
            ASSERT_TRUE(PlantSymbolicLink(linkedFolder, installation));
        } else if (planted == FolderOnTheWay) {
            named = inSubfolder;
            folder.Carry(inSubfolder, "new movie", NewTimes);
            const std::string subfolder = inSubfolder.substr(0, inSubfolder.find('/'));
            ASSERT_TRUE(PlantSymbolicLink(installation + "\\" + subfolder, victim));
        } else {
            folder.Carry(exeName, "new executable", NewTimes);
            const std::string installed = Cp932(folder.Installed(exeName));
            bool linked =
                planted == CarriedFile
                    ? PlantSymbolicLink(installed, victim + "\\victim.dat")
                    : CreateHardLinkW(TestPath(installed).system(),
                                      TestPath(victim + "\\victim.dat").system(), nullptr) != 0;
            ASSERT_TRUE(linked);
        }
        const std::vector<std::string> installed = FolderNames(folder.installation);
        const std::string victimBefore = StateOf(victim);

        UpdaterRun run(folder.exe);
        HWND dialog = StartAndFindDialog(run);
        ASSERT_NE(dialog, nullptr);
        ClickButton(dialog, 1008);
        HWND box = run.WaitForMessageBox(dialog);
        ASSERT_NE(box, nullptr) << "the stop was not told";
        MessageBoxSeen seen = run.Describe(box);
        ExpectFailureBox(seen, dialog, named, false);
        EXPECT_TEXT_HAS(seen.text, "が、別の場所へのリンク");
        EXPECT_TEXT_HAS(seen.text, "このツールはリンクを通して書き込みません。");
        if (planted == InstallFolder) {
            EXPECT_TEXT_HAS(seen.text, "インストール先のフォルダ（" + linkedFolder + "）");
        }
        EXPECT_TRUE(run.DismissMessageBox(box));
        ExpectExitWithoutMessageBox(run, dialog);
        EXPECT_EQ(StateOf(victim), victimBefore);
        EXPECT_EQ(Content(folder.Installed(other)), "old data") << "updated before the stop";
        EXPECT_EQ(FolderNames(folder.installation), installed) << "leftovers of the pass";
    }
}

TEST_F(EndToEnd, SecondCopyEndsAtOnceWithoutAWindow)
{
    UpdaterFolder folder;
    UpdaterRun first(folder.exe);
    HWND dialog = StartAndFindDialog(first);
    ASSERT_NE(dialog, nullptr);

    UpdaterRun second(folder.exe);
    ASSERT_TRUE(second.started());
    DWORD start = GetTickCount();
    while (second.Running() && GetTickCount() - start < ExitTimeout) {
        for (HWND window : TopWindowsOf(second.processId())) {
            if (IsWindowVisible(window))
                ADD_FAILURE() << "the second copy showed a window \"" << Utf8(TextOf(window))
                              << "\" of class " << Utf8(ClassOf(window));
        }
        Pause(5);
    }
    DWORD code = 0;
    ASSERT_TRUE(second.WaitForExit(code, 0)) << "the second copy did not end";
    EXPECT_EQ(code, 0u);

    EXPECT_TRUE(IsWindowVisible(dialog)) << "the first copy's dialog went away";
    ClickButton(dialog, IDCANCEL);
    ExpectExitWithoutMessageBox(first, dialog);
}

// The guard matches class and title together: neither alone stops the tool. The names are
// the tool's own, in UTF-16 as it converts them from CP932.
TEST_F(EndToEnd, WindowsMatchingOnlyTitleOrOnlyClassDoNotStopTheTool)
{
    const std::wstring hostClassName = Wide(Product.hostWindowClassName);
    const std::wstring title = Wide(Product.productTitle);
    WNDCLASSW decoyClass = {};
    decoyClass.lpfnWndProc = DefWindowProcW;
    decoyClass.hInstance = GetModuleHandleW(nullptr);
    decoyClass.lpszClassName = L"UpdaterE2eDecoy";
    ASSERT_NE(RegisterClassW(&decoyClass), 0);
    WNDCLASSW hostClass = decoyClass;
    hostClass.lpszClassName = hostClassName.c_str();
    ASSERT_NE(RegisterClassW(&hostClass), 0);
    HWND sameTitle = CreateWindowExW(0, decoyClass.lpszClassName, title.c_str(), WS_POPUP, 0, 0, 0,
                                     0, nullptr, nullptr, decoyClass.hInstance, nullptr);
    HWND sameClass = CreateWindowExW(0, hostClass.lpszClassName, L"another title", WS_POPUP, 0, 0,
                                     0, 0, nullptr, nullptr, hostClass.hInstance, nullptr);
    ASSERT_NE(sameTitle, nullptr);
    ASSERT_NE(sameClass, nullptr);
    ASSERT_EQ(FindWindowW(hostClassName.c_str(), title.c_str()), nullptr);

    UpdaterFolder folder;
    {
        UpdaterRun run(folder.exe);
        HWND dialog = StartAndFindDialog(run);
        if (dialog != nullptr) {
            ClickButton(dialog, IDCANCEL);
            ExpectExitWithoutMessageBox(run, dialog);
        }
    }
    DestroyWindow(sameTitle);
    DestroyWindow(sameClass);
}

// A crash while the files go in, at every rename the pass makes: tests/system/crash-sweep runs
// the first case under a Wine server that dies at the n-th rename (as the system would stop
// there), then the second with the next pass's kind. Both work in one folder it names.
struct CrashSweep {
    std::wstring root, tool, exe, updates, installation;
    std::vector<std::string> names; // four files: the exe and three plain ones

    explicit CrashSweep(const char *folder)
        : root(Wide(folder)), tool(root + L"\\tool"),
          updates(tool + L"\\" + Wide(Product.productFolderName)),
          installation(root + L"\\install"), names{Product.productExecutableName}
    {
        exe = tool + L"\\" + Wide(UpdaterExe.substr(UpdaterExe.find_last_of('\\') + 1));
        while (names.size() < 4 && !PlainMainName(names).empty())
            names.push_back(PlainMainName(names));
    }
    std::wstring Installed(const std::string &name) const
    {
        return installation + L"\\" + Wide(name);
    }
    std::wstring Carried(const std::string &name) const { return updates + L"\\" + Wide(name); }
    static std::string Old(const std::string &name) { return "old " + name; }
    std::string New(size_t i) const { return PatternBytes(70000 + i, 30 + unsigned(i)); }
    static std::string Other() { return PatternBytes(5000, 99); }
};

TEST_F(EndToEnd, CrashSweepPassRunsUntilTheSystemStops)
{
    const char *folder = getenv("UPDATER_TEST_CRASH_FOLDER");
    if (folder == nullptr)
        GTEST_SKIP() << "run through tests/system/crash-sweep";
    CrashSweep sweep(folder);
    RemoveTree(sweep.root);
    MakeFolder(sweep.root);
    MakeFolder(sweep.tool);
    MakeFolder(sweep.updates);
    MakeFolder(sweep.installation);
    ASSERT_TRUE(CopyFileW(Wide(UpdaterExe).c_str(), sweep.exe.c_str(), FALSE));
    for (size_t i = 0; i < sweep.names.size(); ++i) {
        WriteFileBytes(sweep.Carried(sweep.names[i]), sweep.New(i));
        SetTimes(sweep.Carried(sweep.names[i]), NewTimes);
        WriteFileBytes(sweep.Installed(sweep.names[i]), CrashSweep::Old(sweep.names[i]));
        SetTimes(sweep.Installed(sweep.names[i]), OldTimes);
    }
    RecordKey record;
    WriteInstallRecord(record, sweep.installation);
    // Ends here when the system stops; past the pass's last rename it completes.
    RunToCompletion(sweep.exe);
}

TEST_F(EndToEnd, CrashSweepNextPassLeavesTheInstallationWhole)
{
    const char *folder = getenv("UPDATER_TEST_CRASH_FOLDER");
    const char *next = getenv("UPDATER_TEST_CRASH_NEXT");
    if (folder == nullptr || next == nullptr)
        GTEST_SKIP() << "run through tests/system/crash-sweep";
    CrashSweep sweep(folder);
    const std::string kind = next;
    SCOPED_TRACE("the next pass: " + kind);
    if (kind != "same")
        RemoveTree(sweep.updates);
    if (kind == "other") {
        MakeFolder(sweep.updates);
        WriteFileBytes(sweep.Carried(sweep.names[1]), CrashSweep::Other());
    }
    RecordKey record;
    WriteInstallRecord(record, sweep.installation);
    // A journal left by the crashed pass: whatever comes next puts that pass back or completes it.
    const bool interrupted = FileExists(sweep.installation + L"\\" + JournalName);
    if (kind == "none") {
        UpdaterRun run(sweep.exe);
        HWND dialog = StartAndFindDialog(run);
        ASSERT_NE(dialog, nullptr);
        ClickButton(dialog, 1008);
        HWND box = run.WaitForMessageBox(dialog);
        ASSERT_NE(box, nullptr) << "the missing update was not told";
        MessageBoxSeen seen = run.Describe(box);
        EXPECT_TEXT_HAS(seen.text, "アップデートのファイルがそろっていません。");
        EXPECT_TEXT_HAS(seen.text, interrupted
                                       ? "前回途中で終わったアップデートは取り消し"
                                       : "インストール先のファイルは何も変更されていません。");
        EXPECT_TRUE(run.DismissMessageBox(box));
        ExpectExitWithoutMessageBox(run, dialog);
    } else {
        RunToCompletion(sweep.exe);
    }
    // Every file old, or every file of the update that ran; nothing of the passes left.
    std::vector<std::string> listed(sweep.names);
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(FolderNames(sweep.installation), listed);
    size_t oldFiles = 0, newFiles = 0;
    for (size_t i = 0; i < sweep.names.size(); ++i) {
        const std::string &name = sweep.names[i];
        std::string bytes = Content(sweep.Installed(name));
        if (kind == "other" && i == 1) {
            EXPECT_TRUE(bytes == CrashSweep::Other()) << name << " is not the other update's";
            continue;
        }
        oldFiles += bytes == CrashSweep::Old(name);
        newFiles += bytes == sweep.New(i);
    }
    size_t others = sweep.names.size() - (kind == "other" ? 1 : 0);
    if (kind == "same")
        EXPECT_EQ(newFiles, others) << "the update did not complete";
    else if (interrupted)
        EXPECT_EQ(oldFiles, others) << "the interrupted update was not put back";
    else
        EXPECT_TRUE(oldFiles == others || newFiles == others)
            << oldFiles << " old and " << newFiles << " new of " << others;
}

// A module without its dialog template: the tool must end rather than poll for ever.
TEST_F(EndToEnd, MissingDialogTemplateEndsWithExitCodeOne)
{
    UpdaterFolder folder;
    ASSERT_TRUE(RenumberResource(folder.exe, RT_DIALOG, 105, 0x7FFF));
    HMODULE image = LoadLibraryExW(folder.exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(FindResourceA(image, MAKEINTRESOURCEA(105), RT_DIALOG), nullptr);
    EXPECT_NE(FindResourceA(image, MAKEINTRESOURCEA(104), RT_GROUP_ICON), nullptr);
    FreeLibrary(image);

    UpdaterRun run(folder.exe);
    ASSERT_TRUE(run.started());
    DWORD code = 0;
    ASSERT_TRUE(run.WaitForExit(code)) << "the tool kept running without its dialog";
    EXPECT_EQ(code, 1u);
}

// Not a check of its own: run by the screenshot script, which saves what is asked for.
TEST(Screenshots, DialogRefusalAndCompletion)
{
    if (ShotsFolder.empty())
        GTEST_SKIP() << "no screenshot folder given";
    RemoveInstallRecord();
    {
        UpdaterFolder folder;
        UpdaterRun run(folder.exe);
        HWND dialog = run.WaitForDialog();
        ASSERT_NE(dialog, nullptr);
        RequestScreenshot("dialog", {dialog});
        ClickButton(dialog, 1008);
        HWND box = run.WaitForMessageBox(dialog);
        ASSERT_NE(box, nullptr);
        RequestScreenshot("refusal", {dialog, box});
        run.DismissMessageBox(box);
        ClickButton(dialog, IDCANCEL);
        DWORD code = 0;
        EXPECT_TRUE(run.WaitForExit(code));
    }
    {
        UpdaterFolder folder;
        RecordKey record;
        WriteInstallRecord(record, folder.installation);
        folder.Carry(Product.productExecutableName, "new", NewTimes);
        UpdaterRun run(folder.exe);
        HWND dialog = run.WaitForDialog();
        ASSERT_NE(dialog, nullptr);
        ClickButton(dialog, 1008);
        HWND box = run.WaitForMessageBox(dialog);
        ASSERT_NE(box, nullptr);
        RequestScreenshot("completion", {dialog, box});
        run.DismissMessageBox(box);
        DWORD code = 0;
        EXPECT_TRUE(run.WaitForExit(code));
    }
}

// The pass's own pictures, for scripts/screenshots alone: they wait for questions that the
// end-to-end runs already check, which the test run need not pay for twice.
TEST(PassScreenshots, ProgressFileInUseAndRunFromTheArchive)
{
    if (ShotsFolder.empty())
        GTEST_SKIP() << "no screenshot folder given";
    RemoveInstallRecord();
    {
        // A pass under way: the prompt shows how far it came. The fourth new file is still
        // being written by the program that brought it, so the pass waits there for a while.
        UpdaterFolder folder;
        RecordKey record;
        WriteInstallRecord(record, folder.installation);
        std::vector<std::string> names{Product.productExecutableName};
        while (names.size() < 5 && !PlainMainName(names).empty())
            names.push_back(PlainMainName(names));
        ASSERT_EQ(names.size(), 5u);
        for (size_t i = 0; i < names.size(); ++i) {
            folder.Carry(names[i], PatternBytes(40u * 1024 * 1024 + i, 70), NewTimes);
            folder.Install(names[i], "old", OldTimes);
        }
        HeldOpen download(folder.Carried(names[3]), GENERIC_WRITE, FILE_SHARE_READ);
        UpdaterRun run(folder.exe);
        HWND dialog = run.WaitForDialog();
        ASSERT_NE(dialog, nullptr);
        ClickButton(dialog, 1008);
        DWORD start = GetTickCount();
        while (ItemTextOf(dialog, 1009).find("\n4 / ") == std::string::npos &&
               GetTickCount() - start < WindowTimeout)
            Pause(5);
        RequestScreenshot("progress", {dialog});
        run.Kill(); // rather than wait for the question about the held file
    }
    {
        // A file the game holds: the question, moved below the dialog so that both are seen.
        UpdaterFolder folder;
        RecordKey record;
        WriteInstallRecord(record, folder.installation);
        const std::string name = Product.productExecutableName;
        folder.Carry(name, "new", NewTimes);
        folder.Install(name, "old", OldTimes);
        HeldOpen game(folder.Installed(name), GENERIC_READ, 0);
        UpdaterRun run(folder.exe);
        HWND dialog = run.WaitForDialog();
        ASSERT_NE(dialog, nullptr);
        ClickButton(dialog, 1008);
        HWND box = run.WaitForMessageBox(dialog);
        ASSERT_NE(box, nullptr);
        ShootBelowTheDialog("in-use", dialog, box);
        PressBoxButton(box, IDCANCEL);
        DWORD code = 0;
        EXPECT_TRUE(run.WaitForExit(code));
    }
    {
        // Run from inside its zip: extracted alone, without its files.
        UpdaterFolder folder;
        RecordKey record;
        WriteInstallRecord(record, folder.installation);
        TemporaryFolder temporary;
        ShootStop(ExtractedAlone(temporary), "incomplete");
    }
}

// A bound update: the package that tests/package/package-test packed and unpacked with
// Python's zipfile, which leaves every file written "now". UPDATER_TEST_BOUND_PACKAGE names
// its folder: files\ holds the files as given to the packer, with the write times the
// manifest took, and unpacked\ the package, whose exe the driver runs.
const char *BoundPackage()
{
    return getenv("UPDATER_TEST_BOUND_PACKAGE");
}

struct BoundFile {
    std::string name;
    std::string bytes;
    FILETIME written;
};

// The unpacked package in an updater folder, each file over an older installed one, and a
// listed file that the manifest does not name lying beside them.
struct BoundUpdate {
    UpdaterFolder folder;
    RecordKey record;
    std::vector<BoundFile> files; // in the lists' order, as the manifest holds them
    std::string unbound;
    std::vector<std::string> installedBefore;
};

// Every name under a folder, what its subfolders hold included, each part after a "\".
std::vector<std::string> TreeNames(const std::wstring &folder, const std::string &prefix = "")
{
    std::vector<std::string> names;
    for (const std::string &name : FolderNames(folder + Wide(prefix))) {
        names.push_back(prefix + "\\" + name);
        if (AttributesOf(folder + Wide(prefix + "\\" + name)) & FILE_ATTRIBUTE_DIRECTORY) {
            std::vector<std::string> below = TreeNames(folder, prefix + "\\" + name);
            names.insert(names.end(), below.begin(), below.end());
        }
    }
    return names;
}

void PrepareBoundUpdate(BoundUpdate &update)
{
    const std::string package = BoundPackage();
    const std::string unpacked = package + "\\unpacked\\" + Product.productFolderName;
    std::vector<std::string> names = MainNames();
    for (const std::string &name : ExtraNames()) {
        if (!Contains(names, name))
            names.push_back(name);
    }
    WriteInstallRecord(update.record, update.folder.installation);
    std::vector<std::string> bound;
    for (const std::string &name : names) {
        BoundFile file{name, "", {}};
        const std::string given = package + "\\files\\" + Shown(name);
        if (!ReadFileBytes(given, file.bytes))
            continue;
        file.written = TimesOf(given).written;
        const std::string path = unpacked + "\\" + Shown(name);
        ASSERT_TRUE(Content(path) == file.bytes) << name << " differs in the package";
        ASSERT_FALSE(SameTime(TimesOf(path).written, file.written))
            << name << " was unpacked with its own write time";
        update.folder.Carry(name, file.bytes, TimesOf(path));
        update.folder.Install(name, "old " + name, OldTimes);
        update.files.push_back(file);
        bound.push_back(name);
    }
    ASSERT_GE(update.files.size(), 2u) << "the package binds too few files";
    update.unbound = PlainMainName(bound);
    if (!update.unbound.empty())
        update.folder.Carry(update.unbound, "not bound", NewTimes);
    update.installedBefore = TreeNames(update.folder.installation);
}

// Presses Update for a refusal: one OK button, its own caption, owned by the dialog, the
// reason and the word that nothing changed; then dismissed.
void ExpectBoundRefusal(UpdaterRun &run, HWND dialog, const std::vector<std::string> &reason)
{
    ClickButton(dialog, 1008);
    HWND box = run.WaitForMessageBox(dialog);
    ASSERT_NE(box, nullptr) << "the bound update was not refused";
    MessageBoxSeen seen = run.Describe(box);
    EXPECT_TEXT(seen.caption, std::string(FailureCaption));
    EXPECT_EQ(seen.owner, dialog) << "the refusal belongs to the dialog";
    for (const std::string &part : reason)
        EXPECT_TEXT_HAS(seen.text, part);
    EXPECT_TEXT_HAS(seen.text, std::string("インストール先のファイルは何も変更されていません。"));
    EXPECT_NE(GetDlgItem(box, IDOK), nullptr);
    EXPECT_EQ(GetDlgItem(box, IDCANCEL), nullptr);
    EXPECT_EQ(GetDlgItem(box, IDRETRY), nullptr);
    EXPECT_TRUE(run.DismissMessageBox(box));
}

void ExpectNothingInstalled(const BoundUpdate &update)
{
    for (const BoundFile &file : update.files) {
        SCOPED_TRACE(file.name);
        const std::wstring installed = update.folder.Installed(file.name);
        EXPECT_TRUE(Content(installed) == "old " + file.name) << "the installed file changed";
        EXPECT_TRUE(SameTime(TimesOf(installed).written, OldTimes.written));
    }
    EXPECT_EQ(TreeNames(update.folder.installation), update.installedBefore)
        << "the installation gained or lost a file";
}

// The files as packed, with the manifest's write times whatever the unpacking gave them;
// the listed file that the manifest does not name is not installed.
TEST_F(EndToEnd, BoundUpdateInstallsItsFilesWithTheirPackedTimes)
{
    if (BoundPackage() == nullptr)
        GTEST_SKIP() << "run through tests/package/package-test";
    BoundUpdate update;
    ASSERT_NO_FATAL_FAILURE(PrepareBoundUpdate(update));

    RunToCompletion(update.folder.exe);

    for (const BoundFile &file : update.files) {
        SCOPED_TRACE(file.name);
        const std::wstring installed = update.folder.Installed(file.name);
        EXPECT_TRUE(Content(installed) == file.bytes) << "not installed as packed";
        EXPECT_TRUE(SameTime(TimesOf(installed).written, file.written));
    }
    if (!update.unbound.empty()) {
        EXPECT_FALSE(FileExists(update.folder.Installed(update.unbound)))
            << update.unbound << " was installed, though the manifest does not name it";
    }
}

// A file of the manifest not beside the exe (in a subfolder where the package has one).
TEST_F(EndToEnd, BoundUpdateWithAFileMissingChangesNothing)
{
    if (BoundPackage() == nullptr)
        GTEST_SKIP() << "run through tests/package/package-test";
    BoundUpdate update;
    ASSERT_NO_FATAL_FAILURE(PrepareBoundUpdate(update));
    std::string missing = update.files[1].name;
    for (const BoundFile &file : update.files) {
        if (InSubfolder(file.name)) {
            missing = file.name;
            break;
        }
    }
    ASSERT_TRUE(RemoveFile(update.folder.Carried(missing)));

    UpdaterRun run(update.folder.exe);
    HWND dialog = StartAndFindDialog(run);
    ASSERT_NE(dialog, nullptr);
    ExpectBoundRefusal(run, dialog, {"アップデートのファイルがそろっていません。", Shown(missing)});
    ExpectExitWithoutMessageBox(run, dialog);
    ExpectNothingInstalled(update);
}

// The last file of the manifest, of its size but with one byte changed: found only once the
// files before it could have been copied, and still none of them is.
TEST_F(EndToEnd, BoundUpdateWithAnAlteredFileChangesNothing)
{
    if (BoundPackage() == nullptr)
        GTEST_SKIP() << "run through tests/package/package-test";
    BoundUpdate update;
    ASSERT_NO_FATAL_FAILURE(PrepareBoundUpdate(update));
    const BoundFile &last = update.files.back();
    std::string altered = last.bytes;
    altered[altered.size() / 2] = static_cast<char>(altered[altered.size() / 2] ^ 0x20);
    const std::wstring path = update.folder.Carried(last.name);
    FileTimes times = TimesOf(path);
    WriteFileBytes(path, altered);
    SetTimes(path, times);

    UpdaterRun run(update.folder.exe);
    HWND dialog = StartAndFindDialog(run);
    ASSERT_NE(dialog, nullptr);
    ExpectBoundRefusal(run, dialog, {Shown(last.name) + " が壊れています。"});
    ExpectExitWithoutMessageBox(run, dialog);
    ExpectNothingInstalled(update);
}

// A delta update: the package that tests/package/package-test packed from an earlier version
// and unpacked. UPDATER_TEST_DELTA_PACKAGE names its folder: from1\ holds that version as it lay
// installed, files\ the new files as given to the packer, unpacked\ the package, whose exe
// the driver runs.
const char *DeltaPackage()
{
    return getenv("UPDATER_TEST_DELTA_PACKAGE");
}

// The earlier version installed, the unpacked package's files and patches beside the exe.
struct DeltaUpdate {
    UpdaterFolder folder;
    RecordKey record;
    std::vector<std::string> listed; // every listed name of the earlier or the new version
    std::string patched;             // a file the package carries as a patch
    std::vector<std::string> installedBefore;
};

void PrepareDeltaUpdate(DeltaUpdate &update)
{
    const std::string package = DeltaPackage();
    const std::wstring unpacked = Wide(package + "\\unpacked\\" + Product.productFolderName);
    WriteInstallRecord(update.record, update.folder.installation);
    std::vector<std::string> names = MainNames();
    for (const std::string &name : ExtraNames()) {
        if (!Contains(names, name))
            names.push_back(name);
    }
    for (const std::string &name : names) {
        std::string bytes;
        if (ReadFileBytes(package + "\\from1\\" + Shown(name), bytes))
            update.folder.Install(name, bytes, OldTimes);
        if (bytes.size() != 0 || FileExists(package + "\\files\\" + Shown(name)))
            update.listed.push_back(name);
        // What the package holds of it: the file whole, or its patches.
        const std::wstring whole = unpacked + Wide("\\" + Shown(name));
        if (FileExists(whole))
            update.folder.Carry(name, Content(whole), TimesOf(whole));
        for (int number = 1;; ++number) {
            const std::string patch = name + "." + std::to_string(number) + ".qpatch";
            const std::wstring path = unpacked + Wide("\\" + Shown(patch));
            if (!FileExists(path))
                break;
            update.folder.Carry(patch, Content(path), TimesOf(path));
            if (update.patched.empty())
                update.patched = name;
        }
    }
    ASSERT_FALSE(update.patched.empty()) << "the package carries no patch";
    update.installedBefore = TreeNames(update.folder.installation);
}

// Each file the package changes is rebuilt from the earlier version installed, with the packed
// write time; the others are as they were. A second run finds every file new and completes.
TEST_F(EndToEnd, DeltaUpdateRebuildsTheInstalledFilesAndASecondRunCompletes)
{
    if (DeltaPackage() == nullptr)
        GTEST_SKIP() << "run through tests/package/package-test";
    DeltaUpdate update;
    ASSERT_NO_FATAL_FAILURE(PrepareDeltaUpdate(update));

    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        RunToCompletion(update.folder.exe);
        for (const std::string &name : update.listed) {
            SCOPED_TRACE(name);
            const std::string package = DeltaPackage();
            const std::string given = package + "\\files\\" + Shown(name);
            std::string earlier, bytes;
            ReadFileBytes(package + "\\from1\\" + Shown(name), earlier);
            const std::wstring installed = update.folder.Installed(name);
            // A file the update does not change, or does not carry, is left as it was.
            if (ReadFileBytes(given, bytes) && bytes != earlier) {
                EXPECT_TRUE(Content(installed) == bytes) << "not the new file";
                EXPECT_TRUE(SameTime(TimesOf(installed).written, TimesOf(given).written));
            } else {
                EXPECT_TRUE(Content(installed) == earlier) << "changed";
                EXPECT_TRUE(SameTime(TimesOf(installed).written, OldTimes.written));
            }
        }
        EXPECT_EQ(TreeNames(update.folder.installation), update.installedBefore)
            << "the installation gained or lost a file";
    }
}

// The patched file installed as another version than the one its patch starts from: one byte
// changed, its size kept. Its bytes now.
std::string InstallAnotherVersion(DeltaUpdate &update)
{
    std::string bytes = Content(update.folder.Installed(update.patched));
    EXPECT_FALSE(bytes.empty());
    if (!bytes.empty())
        bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x20);
    update.folder.Install(update.patched, bytes, OldTimes);
    return bytes;
}

// An installed file of another version than the one the package's patch starts from: the
// whole message, byte for byte, and nothing changes.
TEST_F(EndToEnd, DeltaUpdateRefusesAnInstalledFileOfAnotherVersion)
{
    if (DeltaPackage() == nullptr)
        GTEST_SKIP() << "run through tests/package/package-test";
    DeltaUpdate update;
    ASSERT_NO_FATAL_FAILURE(PrepareDeltaUpdate(update));
    const std::wstring altered = update.folder.Installed(update.patched);
    const std::string bytes = InstallAnotherVersion(update);

    UpdaterRun run(update.folder.exe);
    HWND dialog = StartAndFindDialog(run);
    ASSERT_NE(dialog, nullptr);
    ClickButton(dialog, 1008);
    HWND box = run.WaitForMessageBox(dialog);
    ASSERT_NE(box, nullptr) << "the installed file was not refused";
    MessageBoxSeen seen = run.Describe(box);
    EXPECT_TEXT(seen.caption, std::string(FailureCaption));
    EXPECT_TEXT(seen.text,
                Shown(update.patched) +
                    " を更新できませんでした。\nインストールされているこのファイルは、このアップ"
                    "デートで更新できる版ではありません（変更されているか、別の版です）。\n配布元"
                    "から完全版のアップデートを入手して実行するか、ゲームをインストールし直してか"
                    "ら、もう一度アップデートしてください。\n\nアップデートを中止しました。イン"
                    "ストール先のファイルは何も変更されていません。");
    EXPECT_TRUE(run.DismissMessageBox(box));
    ExpectExitWithoutMessageBox(run, dialog);
    EXPECT_TRUE(Content(altered) == bytes) << "the altered file changed";
    EXPECT_EQ(TreeNames(update.folder.installation), update.installedBefore)
        << "the installation gained or lost a file";
}

// The same refusal, for scripts/screenshots alone, which packs a delta package of its own.
TEST(DeltaScreenshots, InstalledFileOfAnotherVersion)
{
    if (ShotsFolder.empty() || DeltaPackage() == nullptr)
        GTEST_SKIP() << "run through scripts/screenshots";
    RemoveInstallRecord();
    DeltaUpdate update;
    ASSERT_NO_FATAL_FAILURE(PrepareDeltaUpdate(update));
    InstallAnotherVersion(update);
    ShootStop(update.folder.exe, "not-applicable");
}

// The updater's texts reach the screen in UTF-16, converted from their CP932 bytes, so that on
// an English (1252) and a Chinese (936) system the dialog, the refusal, a failure message
// naming a file and the completion read as on a Japanese one. Paths go to the system in
// UTF-16 too, so folder names need not fit the system's code page. The host window's title
// (the taskbar's) is compared in UTF-16, as the system holds it.
struct TextsRead {
    std::string caption, prompt, update, cancel;
    std::wstring hostTitle;
    MessageBoxSeen refusal, failure, completion;
};

TEST_F(EndToEnd, TextsReadTheSameOnEnglishAndChineseSystems)
{
    std::string inSubfolder;
    for (const std::string &name : MainNames()) {
        if (InSubfolder(name) && inSubfolder.empty())
            inSubfolder = name;
    }
    // A product whose lists name no file in a subfolder is read without the failure message.
    const bool failure = !inSubfolder.empty();
    const std::string exeName = Product.productExecutableName;
    UpdaterFolder folder("download", "install");
    folder.Carry(exeName, "new executable", NewTimes);
    // A copy of its own path, started while the English run shows its dialog.
    UpdaterFolder secondCopy("second copy", "unused");

    // Each run is ended once its texts are read: the other scenarios check how runs end, and
    // Wine takes seconds to end a program that has shown a message box.
    const SystemLocale *systems[] = {&JapaneseSystem, &EnglishSystem, &ChineseSystem};
    TextsRead read[3];
    // One run: the dialog's own texts where asked for, then the box that Update brings, with
    // whether it offers OK alone; the run is ended once they are read.
    auto readRun = [&](const SystemLocale *system, TextsRead *dialogTexts, MessageBoxSeen &seen,
                       bool *okAlone) {
        UpdaterRun run(folder.exe, system);
        HWND dialog = StartAndFindDialog(run);
        ASSERT_NE(dialog, nullptr);
        if (dialogTexts != nullptr) {
            dialogTexts->caption = TextOf(dialog);
            dialogTexts->prompt = ItemTextOf(dialog, 1009);
            dialogTexts->update = ItemTextOf(dialog, 1008);
            dialogTexts->cancel = ItemTextOf(dialog, IDCANCEL);
            wchar_t title[256];
            int length = GetWindowTextW(GetWindow(dialog, GW_OWNER), title, 256);
            dialogTexts->hostTitle.assign(title, length > 0 ? static_cast<size_t>(length) : 0);
            if (system == &EnglishSystem) {
                // The single-instance guard under 1252: a second copy ends at once.
                DWORD code = STILL_ACTIVE;
                EXPECT_TRUE(EndsByItselfUnder(secondCopy.exe, EnglishSystem, code))
                    << "the second copy did not end";
                EXPECT_EQ(code, 0u);
                EXPECT_TRUE(IsWindowVisible(dialog)) << "the first copy's dialog went away";
            }
        }
        ClickButton(dialog, 1008);
        HWND box = run.WaitForMessageBox(dialog);
        ASSERT_NE(box, nullptr) << "no message after Update";
        seen = run.Describe(box);
        if (okAlone != nullptr)
            *okAlone = GetDlgItem(box, IDOK) != nullptr && GetDlgItem(box, IDRETRY) == nullptr;
        run.Kill();
    };
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(systems[i]->unixName);
        TextsRead &seen = read[i];
        readRun(systems[i], &seen, seen.refusal, nullptr);
        folder.Install(exeName, "old executable", OldTimes);
        RecordKey record;
        WriteInstallRecord(record, folder.installation);
        if (failure) {
            // The installation lacks the folder of a carried file: OK alone, no Retry.
            folder.Carry(inSubfolder, "new picture", NewTimes);
            bool okAlone = false;
            readRun(systems[i], nullptr, seen.failure, &okAlone);
            EXPECT_TRUE(okAlone) << "only a file in use can be retried";
            ASSERT_TRUE(RemoveFile(folder.Carried(inSubfolder)));
        }
        readRun(systems[i], nullptr, seen.completion, nullptr);
        EXPECT_EQ(Content(folder.Installed(exeName)), "new executable");
    }
    // The Japanese run reads what every other scenario checks: no mojibake to compare with.
    EXPECT_TEXT(read[0].caption, ExpectedCaption());
    EXPECT_TEXT(read[0].prompt, ExpectedPrompt());
    EXPECT_TEXT(read[0].refusal.text, std::string(RefusalText));
    if (failure) {
        EXPECT_TEXT(read[0].failure.caption, std::string(FailureCaption));
        EXPECT_TEXT_HAS(read[0].failure.text, Shown(inSubfolder));
    }
    EXPECT_TEXT(read[0].completion.text, std::string(CompletionText));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(read[i].hostTitle, Wide(Product.productTitle))
            << systems[i]->unixName << ": \"" << Utf8(read[i].hostTitle) << "\"";
    for (int i = 1; i < 3; ++i) {
        SCOPED_TRACE(systems[i]->unixName);
        EXPECT_TEXT(read[i].caption, read[0].caption);
        EXPECT_TEXT(read[i].prompt, read[0].prompt);
        EXPECT_TEXT(read[i].update, read[0].update);
        EXPECT_TEXT(read[i].cancel, read[0].cancel);
        EXPECT_TEXT(read[i].refusal.caption, read[0].refusal.caption);
        EXPECT_TEXT(read[i].refusal.text, read[0].refusal.text);
        EXPECT_TEXT(read[i].failure.caption, read[0].failure.caption);
        EXPECT_TEXT(read[i].failure.text, read[0].failure.text);
        EXPECT_TEXT(read[i].completion.caption, read[0].completion.caption);
        EXPECT_TEXT(read[i].completion.text, read[0].completion.text);
    }

    // Folder names reach the system in UTF-16: a Japanese install folder on the English system
    // completes, and so, on the Japanese one, do a tool folder and a deep install folder named
    // with characters that CP932 lacks, with a file in a subfolder past 259 characters.
    auto expectInstalled = [&](const UpdaterFolder &updater,
                               const std::vector<std::string> &names) {
        std::vector<std::string> tree;
        for (const std::string &name : names) {
            SCOPED_TRACE(name);
            EXPECT_EQ(Content(updater.Installed(name)), Content(updater.Carried(name)));
            EXPECT_TRUE(SameTime(TimesOf(updater.Installed(name)).written, NewTimes.written));
            if (InSubfolder(name))
                tree.push_back("\\" + name.substr(0, name.find('/')));
            tree.push_back("\\" + Shown(name));
        }
        std::vector<std::string> left = TreeNames(updater.installation);
        std::sort(tree.begin(), tree.end());
        std::sort(left.begin(), left.end());
        EXPECT_EQ(left, tree) << "the installation holds what it did, and nothing of the pass";
    };
    RecordKey record;
    UpdaterFolder japanese("download", "インストール先表");
    CarryOverInstalled(japanese, exeName, "new executable", "old executable");
    WriteInstallRecord(record, japanese.installation);
    RunToCompletion(japanese.exe, &EnglishSystem);
    expectInstalled(japanese, {exeName});
    if (inSubfolder.empty())
        return; // no file to place past 259 characters

    const std::wstring anyScript = L"Zoë 한국";
    UpdaterFolder unicode(anyScript + L" ツール", anyScript + L" " + std::wstring(200, L'x'));
    ASSERT_LT(unicode.installation.size(), size_t(MAX_PATH)) << "more than the record holds";
    ASSERT_GE(unicode.Installed(inSubfolder).size(), size_t(MAX_PATH)) << "not past the limit";
    CarryOverInstalled(unicode, exeName, "new executable", "old executable");
    CarryOverInstalled(unicode, inSubfolder, "new picture", "old picture");
    WriteInstallRecord(record, unicode.installation);
    RunToCompletion(unicode.exe);
    expectInstalled(unicode, {exeName, inSubfolder});
}

} // namespace
