// The update pass of the engine and its yardsticks, each timed inside one process, so that
// process start-up, the dialog and the completion message are outside every figure.
//
// usage: pass_bench MODE SOURCE_ROOT INSTALL_FOLDER LIST_FILE
//   pass   the engine's pass as the dialog runs it: progress in a label, messages between
//          blocks (the label's window is shown off-screen);
//   quiet  the same pass without a label, so with neither progress nor messages;
//   safe   CopyFileA into a temporary file beside the target, then MoveFileExA over it;
//   plain  CopyFileA over the target;
//   steps  the pass's own calls for each file, one by one, each step timed.
// SOURCE_ROOT holds the product folder; LIST_FILE the names in the order the pass takes
// them (the yardsticks and steps follow it; pass and quiet walk the engine's own lists).
// Prints copy_ms=..., and for steps one line per step.
#include "../engine/setup_engine.h"
#include "../product/product_config.h"

#include <io.h>
#include <share.h>
#include <stdio.h>
#include <string.h>
#include <string>
#include <vector>

namespace {

LARGE_INTEGER Frequency;

double Now()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(Frequency.QuadPart);
}

std::vector<std::string> ReadNames(const char *path)
{
    std::vector<std::string> names;
    FILE *list = fopen(path, "rb");
    if (list == nullptr)
        return names;
    char line[512];
    while (fgets(line, sizeof line, list) != nullptr) {
        line[strcspn(line, "\r\n")] = '\0';
        if (line[0] != '\0')
            names.push_back(line);
    }
    fclose(list);
    return names;
}

std::string WithBackslashes(std::string path)
{
    for (char &c : path) {
        if (c == '/')
            c = '\\';
    }
    return path;
}

std::string FolderOf(const std::string &path)
{
    return path.substr(0, path.find_last_of('\\'));
}

// A shown window with a label as the dialog's prompt, made before the clock starts.
HWND MakeProgressLabel()
{
    HWND window = CreateWindowExA(0, "Static", "", WS_POPUP | WS_VISIBLE, -2000, -2000, 400, 60,
                                  nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    HWND label = CreateWindowExA(0, "Static", "", WS_CHILD | WS_VISIBLE | SS_LEFT, 0, 0, 400, 60,
                                 window, nullptr, nullptr, nullptr);
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageA(&message);
    return label;
}

void PrepareEngine(const char *sourceRoot, const char *installFolder)
{
    const char *mainNames[64];
    int count = 0;
    for (; MainFiles[count] != nullptr && count < 63; ++count)
        mainNames[count] = MainFiles[count];
    mainNames[0] = Product.productExecutableName;
    mainNames[count] = nullptr;
    CopyFileList(Engine.mainFiles, mainNames);
    CopyFileList(Engine.extraFiles, ExtraFiles);
    CopyBounded(Engine.folderName, sizeof Engine.folderName, Product.productFolderName);
    CopyBounded(Engine.sourceFolder, sizeof Engine.sourceFolder, sourceRoot);
    CopyBounded(Engine.installFolder, sizeof Engine.installFolder, installFolder);
}

// What RunUpdate does between the press and the completion message.
bool RunEnginePass()
{
    Engine.BeginPass();
    bool finished = Engine.CopyUpdateFiles();
    Engine.EndPass();
    return finished;
}

double BoxShownAt;

// Runs once the box's own message loop is idle: the box is up and painted.
void CALLBACK CloseShownBox(HWND, UINT, UINT_PTR timer, DWORD)
{
    BoxShownAt = Now();
    KillTimer(nullptr, timer);
    HWND box = FindWindowA("#32770", "終了");
    if (box != nullptr)
        PostMessageA(box, WM_COMMAND, IDOK, 0);
}

// The completion message as the exe shows it, timed from the call until it is up.
bool ShowCompletionOnce(double begin)
{
    SetTimer(nullptr, 0, 1, CloseShownBox);
    MessageBoxA(nullptr, "アップデートが完了しました。", "終了", MB_OK | MB_ICONWARNING);
    printf("box_ms=%.1f\n", BoxShownAt - begin);
    return BoxShownAt > 0;
}

int CopyWithYardstick(const std::vector<std::string> &names, const std::string &source,
                      const std::string &destination, bool safe)
{
    int failures = 0;
    for (const std::string &name : names) {
        std::string from = source + "\\" + WithBackslashes(name);
        std::string to = destination + "\\" + WithBackslashes(name);
        if (!safe) {
            failures += !CopyFileA(from.c_str(), to.c_str(), FALSE);
            continue;
        }
        char temporary[MAX_PATH];
        if (GetTempFileNameA(FolderOf(to).c_str(), "qup", 0, temporary) == 0 ||
            !CopyFileA(from.c_str(), temporary, FALSE) ||
            !MoveFileExA(temporary, to.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            DeleteFileA(temporary);
            ++failures;
        }
    }
    return failures;
}

enum Step {
    StepAttributes,
    StepOpenSource,
    StepTemporaryName,
    StepOpenTemporary,
    StepRead,
    StepWrite,
    StepSizes,
    StepClose,
    StepReplace,
    StepTimestamps,
    StepCount
};
const char *const StepNames[StepCount] = {
    "attributes (SetFileAttributesA, GetFileAttributesA)",
    "open source (_fsopen rb)",
    "temporary name (GetTempFileNameA, creates the file)",
    "open temporary (_fsopen wb, setvbuf)",
    "read blocks (fread)",
    "write blocks (fwrite)",
    "sizes (GetFileSize of both handles)",
    "close both streams",
    "replace (MoveFileExA)",
    "timestamps (two CreateFileA, GetFileTime, SetFileTime, two CloseHandle)",
};

// The calls UpdateFile and CopyVerified make for a file that is carried, in their order.
int CopyInSteps(const std::vector<std::string> &names, const std::string &source,
                const std::string &destination, double *spent)
{
    int failures = 0;
    for (const std::string &name : names) {
        std::string from = source + "\\" + name;
        std::string to = destination + "\\" + name;
        double t = Now();
        SetFileAttributesA(to.c_str(), FILE_ATTRIBUTE_NORMAL);
        GetFileAttributesA(from.c_str());
        double u = Now();
        spent[StepAttributes] += u - t;
        FILE *in = _fsopen(from.c_str(), "rb", _SH_DENYWR);
        t = Now();
        spent[StepOpenSource] += t - u;
        char temporary[MAX_PATH];
        std::string folder = to.substr(0, to.find_last_of("\\/"));
        GetTempFileNameA(folder.c_str(), "qup", 0, temporary);
        u = Now();
        spent[StepTemporaryName] += u - t;
        FILE *out = _fsopen(temporary, "wb", _SH_DENYRW);
        if (in == nullptr || out == nullptr) {
            ++failures;
            if (in != nullptr)
                fclose(in);
            if (out != nullptr)
                fclose(out);
            continue;
        }
        setvbuf(in, nullptr, _IONBF, 0);
        setvbuf(out, nullptr, _IONBF, 0);
        t = Now();
        spent[StepOpenTemporary] += t - u;
        DWORD size = GetFileSize(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(in))), nullptr);
        u = Now();
        spent[StepSizes] += u - t;
        for (;;) {
            t = Now();
            size_t got = fread(CopyBuffer, 1, CopyBlockSize, in);
            u = Now();
            spent[StepRead] += u - t;
            fwrite(CopyBuffer, 1, got, out);
            t = Now();
            spent[StepWrite] += t - u;
            if (got < CopyBlockSize)
                break;
        }
        t = Now();
        failures +=
            GetFileSize(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(out))), nullptr) != size;
        u = Now();
        spent[StepSizes] += u - t;
        fclose(in);
        fclose(out);
        t = Now();
        spent[StepClose] += t - u;
        failures += !MoveFileExA(temporary, to.c_str(), MOVEFILE_REPLACE_EXISTING);
        u = Now();
        spent[StepReplace] += u - t;
        HANDLE a = CreateFileA(from.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        HANDLE b = CreateFileA(to.c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        FILETIME created, accessed, written;
        GetFileTime(a, &created, &accessed, &written);
        SetFileTime(b, &created, &accessed, &written);
        CloseHandle(a);
        CloseHandle(b);
        t = Now();
        spent[StepTimestamps] += t - u;
    }
    return failures;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 5) {
        fprintf(stderr, "usage: pass_bench pass|quiet|safe|plain|steps SOURCE_ROOT "
                        "INSTALL_FOLDER LIST_FILE\n");
        return 2;
    }
    QueryPerformanceFrequency(&Frequency);
    const std::string mode = argv[1];
    const std::string source = std::string(argv[2]) + "\\" + Product.productFolderName;
    std::vector<std::string> names = ReadNames(argv[4]);
    if (names.empty()) {
        fprintf(stderr, "no names in %s\n", argv[4]);
        return 2;
    }
    double spent[StepCount] = {};
    int failures = 0;
    if (mode == "pass" || mode == "quiet") {
        PrepareEngine(argv[2], argv[3]);
        if (mode == "pass")
            Engine.progressLabel = MakeProgressLabel();
    }
    if (mode == "box") {
        MakeProgressLabel();
        return ShowCompletionOnce(Now()) ? 0 : 1;
    }
    double begin = Now();
    if (mode == "pass" || mode == "quiet")
        failures = !RunEnginePass();
    else if (mode == "safe" || mode == "plain")
        failures = CopyWithYardstick(names, source, argv[3], mode == "safe");
    else if (mode == "steps")
        failures = CopyInSteps(names, source, argv[3], spent);
    else {
        fprintf(stderr, "unknown mode %s\n", mode.c_str());
        return 2;
    }
    double elapsed = Now() - begin;
    printf("copy_ms=%.1f\nfiles=%u\nfailures=%d\n", elapsed, static_cast<unsigned>(names.size()),
           failures);
    if (mode == "steps") {
        for (int step = 0; step < StepCount; ++step)
            printf("step %d %.1f %s\n", step, spent[step], StepNames[step]);
    }
    return failures == 0 ? 0 : 1;
}
