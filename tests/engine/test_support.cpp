#include "test_support.h"

#include "../../engine/setup_engine.h"
#include "../../product/product_config.h"
#include "../../tools/patch_writer.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <wincrypt.h>

std::wstring Wide(const std::string &cp932)
{
    int length =
        MultiByteToWideChar(932, 0, cp932.data(), static_cast<int>(cp932.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    if (length > 0)
        MultiByteToWideChar(932, 0, cp932.data(), static_cast<int>(cp932.size()), &wide[0], length);
    return wide;
}

TestPath::TestPath(const std::string &cp932) : wide_(Wide(cp932))
{
    Finish();
}

TestPath::TestPath(const char *cp932) : wide_(Wide(cp932))
{
    Finish();
}

TestPath::TestPath(const std::wstring &utf16) : wide_(utf16)
{
    Finish();
}

TestPath::TestPath(const wchar_t *utf16) : wide_(utf16)
{
    Finish();
}

// The tests name absolute paths, listed names with their "/" among them. Folders are made
// through the same form, which allows 12 characters less.
void TestPath::Finish()
{
    system_ = wide_;
    std::replace(system_.begin(), system_.end(), L'/', L'\\');
    if (system_.size() >= MAX_PATH - 12 && system_.compare(0, 2, L"\\\\") != 0)
        system_.insert(0, L"\\\\?\\");
}

std::string Utf8(const std::wstring &wide)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr,
                                   0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(size), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &utf8[0], size,
                            nullptr, nullptr);
    return utf8;
}

std::ostream &operator<<(std::ostream &out, const TestPath &path)
{
    return out << Utf8(path.wide());
}

void SetPathField(wchar_t *field, const TestPath &path)
{
    ASSERT_LT(path.wide().size(), size_t(PathFieldCapacity)) << path;
    lstrcpynW(field, path.wide().c_str(), PathFieldCapacity);
}

static unsigned FolderCounter;

TemporaryFolder::TemporaryFolder()
{
    char base[MAX_PATH];
    GetTempPathA(sizeof base, base);
    for (;;) {
        char name[MAX_PATH];
        wsprintfA(name, "%supdater-test-%lu-%u", base, GetCurrentProcessId(), ++FolderCounter);
        if (CreateDirectoryA(name, nullptr)) {
            path_ = name;
            return;
        }
    }
}

TemporaryFolder::~TemporaryFolder()
{
    RemoveTree(path_);
}

std::string Cp932(const std::wstring &text)
{
    if (text.empty())
        return std::string();
    int length = static_cast<int>(text.size());
    int size = WideCharToMultiByte(932, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(932, 0, text.data(), length, &bytes[0], size, nullptr, nullptr);
    return bytes;
}

// The names in a folder, without "." and "..", with whether each is a folder.
static std::vector<std::pair<std::wstring, bool>> Entries(const TestPath &path)
{
    std::vector<std::pair<std::wstring, bool>> entries;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(TestPath(path.wide() + L"\\*").system(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return entries;
    do {
        std::wstring name = found.cFileName;
        if (name != L"." && name != L"..")
            entries.emplace_back(name, (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return entries;
}

void RemoveTree(const TestPath &path)
{
    for (const auto &entry : Entries(path)) {
        TestPath child(path.wide() + L"\\" + entry.first);
        SetFileAttributesW(child.system(), FILE_ATTRIBUTE_NORMAL);
        if (entry.second)
            RemoveTree(child);
        else
            DeleteFileW(child.system());
    }
    RemoveDirectoryW(path.system());
}

void MakeFolder(const TestPath &path)
{
    ASSERT_TRUE(CreateDirectoryW(path.system(), nullptr)) << path;
}

std::string PatternBytes(size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((seed + i * 7) % 251);
    return bytes;
}

void WriteFileBytes(const TestPath &path, const std::string &bytes)
{
    HANDLE file = CreateFileW(path.system(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
    DWORD written = 0;
    BOOL ok = bytes.empty() ||
              WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    ASSERT_TRUE(ok && written == bytes.size()) << path;
}

bool ReadFileBytes(const TestPath &path, std::string &bytes)
{
    HANDLE file = CreateFileW(path.system(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD size = GetFileSize(file, nullptr);
    bytes.assign(size, '\0');
    DWORD got = 0;
    BOOL ok = size == 0 || ReadFile(file, &bytes[0], size, &got, nullptr);
    CloseHandle(file);
    return ok && got == size;
}

testing::AssertionResult SameBytes(const std::string &actual, const std::string &expected)
{
    if (actual == expected)
        return testing::AssertionSuccess();
    size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at])
        ++at;
    return testing::AssertionFailure() << actual.size() << " bytes, expected " << expected.size()
                                       << "; first difference at offset " << at;
}

bool FileExists(const TestPath &path)
{
    return GetFileAttributesW(path.system()) != INVALID_FILE_ATTRIBUTES;
}

DWORD AttributesOf(const TestPath &path)
{
    return GetFileAttributesW(path.system());
}

bool SetAttributes(const TestPath &path, DWORD attributes)
{
    return SetFileAttributesW(path.system(), attributes) != 0;
}

bool RemoveFile(const TestPath &path)
{
    return DeleteFileW(path.system()) != 0;
}

std::vector<std::string> FolderNames(const TestPath &path)
{
    std::vector<std::string> names;
    for (const auto &entry : Entries(path))
        names.push_back(Cp932(entry.first));
    std::sort(names.begin(), names.end());
    return names;
}

// Wine gives neither a handle to wait on nor an exit code for a Unix process: the shell
// writes the status into a file, which is read back through the Z: drive.
int RunUnixCommand(const std::wstring &command)
{
    char unixName[64];
    wsprintfA(unixName, "/tmp/updater-test-status-%lu-%lu", GetCurrentProcessId(), GetTickCount());
    std::wstring statusFile = L"Z:" + Wide(unixName);
    std::replace(statusFile.begin(), statusFile.end(), L'/', L'\\');
    std::wstring line = L"sh -c \"" + command + L"; echo $? >" + Wide(unixName) + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(L"Z:\\bin\\sh", &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        ADD_FAILURE() << "sh did not start: error " << GetLastError();
        return -1;
    }
    if (process.hThread != nullptr)
        CloseHandle(process.hThread);
    if (process.hProcess != nullptr)
        CloseHandle(process.hProcess);
    std::string status;
    for (DWORD start = GetTickCount(); GetTickCount() - start < 30000; Sleep(10)) {
        if (ReadFileBytes(statusFile, status) && status.find('\n') != std::string::npos) {
            DeleteFileW(statusFile.c_str());
            return atoi(status.c_str());
        }
    }
    ADD_FAILURE() << "the command did not end: " << Utf8(command);
    return -1;
}

std::wstring UnixPath(const TestPath &path)
{
    typedef char *(CDECL * UnixFileNameFunction)(LPCWSTR);
    auto unixFileName = reinterpret_cast<UnixFileNameFunction>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char *name = unixFileName != nullptr ? unixFileName(path.system()) : nullptr;
    if (name == nullptr) {
        ADD_FAILURE() << "no Unix path for " << path;
        return L"/nonexistent";
    }
    int length = MultiByteToWideChar(CP_UTF8, 0, name, -1, nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, name, -1, &wide[0], length);
    HeapFree(GetProcessHeap(), 0, name);
    wide.resize(wide.size() - 1);
    return wide;
}

bool PlantSymbolicLink(const TestPath &link, const TestPath &target)
{
    return RunUnixCommand(L"/bin/ln -s '" + UnixPath(target) + L"' '" + UnixPath(link) + L"'") == 0;
}

void RemoveThroughUnix(const TestPath &path)
{
    RunUnixCommand(L"rm -rf '" + UnixPath(path) + L"'");
}

std::string StateOf(const TestPath &folder)
{
    char line[128];
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    GetFileAttributesExW(folder.system(), GetFileExInfoStandard, &data);
    wsprintfA(line, "folder written %08lx%08lx\n", data.ftLastWriteTime.dwHighDateTime,
              data.ftLastWriteTime.dwLowDateTime);
    std::string state = line;
    for (const std::string &name : FolderNames(folder)) {
        TestPath path(folder.wide() + L"\\" + Wide(name));
        GetFileAttributesExW(path.system(), GetFileExInfoStandard, &data);
        std::string bytes;
        wsprintfA(line, " attributes %lx written %08lx%08lx: ", data.dwFileAttributes,
                  data.ftLastWriteTime.dwHighDateTime, data.ftLastWriteTime.dwLowDateTime);
        if (!ReadFileBytes(path, bytes))
            bytes = "<missing>";
        // A large file by its size and digest, so that a difference stays readable.
        if (bytes.size() > 256) {
            std::string digest = Sha256Of(bytes);
            char summary[64];
            wsprintfA(summary, "%lu bytes, SHA-256 ", static_cast<unsigned long>(bytes.size()));
            bytes = summary;
            for (unsigned char byte : digest.substr(0, 8)) {
                wsprintfA(summary, "%02x", byte);
                bytes += summary;
            }
        }
        state += name + line + bytes + "\n";
    }
    return state;
}

// Wine must answer access denied there, as Windows does for a folder the user may not write.
ImmutableFolder::ImmutableFolder(const TestPath &folder) : unixPath_(UnixPath(folder)), made_(false)
{
    if (RunUnixCommand(L"chattr +i '" + unixPath_ + L"' 2>/dev/null") != 0)
        return;
    TestPath probe(folder.wide() + L"\\immutable-probe");
    HANDLE file = CreateFileW(probe.system(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    made_ = file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED;
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        DeleteFileW(probe.system());
    }
}

ImmutableFolder::~ImmutableFolder()
{
    RunUnixCommand(L"chattr -i '" + unixPath_ + L"' 2>/dev/null");
}

HeldOpen::HeldOpen(const TestPath &path, DWORD access, DWORD share)
    : handle_(CreateFileW(path.system(), access, share, nullptr, OPEN_EXISTING, 0, nullptr))
{
    EXPECT_TRUE(held()) << path;
}

void HeldOpen::Release()
{
    if (held())
        CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
}

FileTimes TimesOf(const TestPath &path)
{
    FileTimes times = {};
    HANDLE file = CreateFileW(path.system(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE) << path;
    if (file != INVALID_HANDLE_VALUE) {
        GetFileTime(file, &times.created, &times.accessed, &times.written);
        CloseHandle(file);
    }
    return times;
}

void SetTimes(const TestPath &path, const FileTimes &times)
{
    HANDLE file =
        CreateFileW(path.system(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
    SetFileTime(file, &times.created, &times.accessed, &times.written);
    CloseHandle(file);
}

FileTimes TimesAt(int year)
{
    SYSTEMTIME when = {};
    when.wYear = static_cast<WORD>(year);
    when.wMonth = 3;
    when.wDay = 14;
    when.wHour = 9;
    FileTimes times;
    SystemTimeToFileTime(&when, &times.created);
    when.wMonth = 4;
    SystemTimeToFileTime(&when, &times.accessed);
    when.wMonth = 5;
    SystemTimeToFileTime(&when, &times.written);
    return times;
}

static std::string Describe(const FILETIME &time)
{
    SYSTEMTIME when = {};
    FileTimeToSystemTime(&time, &when);
    char text[64];
    wsprintfA(text, "%04u-%02u-%02u %02u:%02u:%02u.%03u", when.wYear, when.wMonth, when.wDay,
              when.wHour, when.wMinute, when.wSecond, when.wMilliseconds);
    return text;
}

testing::AssertionResult SameTimes(const FileTimes &actual, const FileTimes &expected)
{
    struct {
        const char *name;
        const FILETIME &actual, &expected;
    } pairs[] = {{"creation", actual.created, expected.created},
                 {"access", actual.accessed, expected.accessed},
                 {"write", actual.written, expected.written}};
    for (const auto &pair : pairs) {
        if (CompareFileTime(&pair.actual, &pair.expected) != 0)
            return testing::AssertionFailure() << pair.name << " time " << Describe(pair.actual)
                                               << ", expected " << Describe(pair.expected);
    }
    return testing::AssertionSuccess();
}

static void DeleteRecord()
{
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, Product.installRecordKey, KEY_WOW64_32KEY, 0);
}

RecordKey::RecordKey()
{
    DeleteRecord();
    HKEY key;
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, Product.installRecordKey, 0, nullptr, 0,
                              KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

RecordKey::~RecordKey()
{
    DeleteRecord();
}

static HKEY OpenForWriting()
{
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, Product.installRecordKey, 0,
                            KEY_SET_VALUE | KEY_WOW64_32KEY, &key),
              ERROR_SUCCESS);
    return key;
}

static void SetValue(const char *name, DWORD type, const void *data, DWORD size)
{
    HKEY key = OpenForWriting();
    EXPECT_EQ(RegSetValueExA(key, name, 0, type, static_cast<const BYTE *>(data), size),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

void RecordKey::DeleteValue(const char *name)
{
    HKEY key = OpenForWriting();
    EXPECT_EQ(RegDeleteValueA(key, name), ERROR_SUCCESS);
    RegCloseKey(key);
}

void RecordKey::SetString(const char *name, const std::string &bytes, DWORD type)
{
    SetValue(name, type, bytes.data(), static_cast<DWORD>(bytes.size()));
}

void RecordKey::SetPath(const char *name, const TestPath &path)
{
    HKEY key = OpenForWriting();
    const std::wstring &wide = path.wide();
    EXPECT_EQ(RegSetValueExW(key, Wide(name).c_str(), 0, REG_SZ,
                             reinterpret_cast<const BYTE *>(wide.c_str()),
                             static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

void RecordKey::SetDword(const char *name, DWORD value)
{
    SetValue(name, REG_DWORD, &value, sizeof value);
}

static void RecordProgress(void *context, const PassProgress &progress)
{
    RecordingView &view = *static_cast<RecordingView *>(context);
    view.last = progress;
    if (view.onProgress != nullptr)
        view.onProgress(view, progress);
}

static void RecordPause(void *context, DWORD)
{
    RecordingView &view = *static_cast<RecordingView *>(context);
    ++view.pauses;
    if (view.onPause != nullptr)
        view.onPause(view, view.pauses);
}

static bool RecordStop(void *context, const PassReport &report)
{
    RecordingView &view = *static_cast<RecordingView *>(context);
    view.stops.push_back(report);
    view.stopNames.push_back(report.name != nullptr ? report.name : "");
    if (!report.question)
        return false;
    size_t asked = 0;
    for (const PassReport &stop : view.stops)
        asked += stop.question ? 1 : 0;
    return asked <= view.answers.size() && view.answers[asked - 1];
}

static void RecordCompletion(void *context)
{
    static_cast<RecordingView *>(context)->completed = true;
}

RecordingView::RecordingView()
    : view{this, RecordProgress, RecordPause, RecordStop, RecordCompletion}, pauses(0),
      completed(false), last(), onPause(nullptr), onProgress(nullptr), hookData(nullptr)
{
}

void RecordingView::Reset()
{
    stops.clear();
    stopNames.clear();
    answers.clear();
    pauses = 0;
    completed = false;
    last = PassProgress();
    onPause = nullptr;
    onProgress = nullptr;
    hookData = nullptr;
}

std::string Sha256Of(const std::string &bytes)
{
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    BYTE value[32] = {};
    DWORD size = sizeof value;
    if (CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
        if (CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash)) {
            CryptHashData(hash, reinterpret_cast<const BYTE *>(bytes.data()),
                          static_cast<DWORD>(bytes.size()), 0);
            CryptGetHashParam(hash, HP_HASHVAL, value, &size, 0);
            CryptDestroyHash(hash);
        }
        CryptReleaseContext(provider, 0);
    }
    return std::string(reinterpret_cast<const char *>(value), sizeof value);
}

static void Append64(std::string &out, ULONGLONG value)
{
    for (int i = 0; i < 8; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

static void Append32(std::string &out, DWORD value)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

static void AppendEntries(std::string &out, const std::vector<BoundEntry> &entries)
{
    for (const BoundEntry &entry : entries) {
        std::string name = entry.name;
        name.resize(128, '\0');
        out += name;
        Append64(out, entry.bytes.size());
        Append64(out, (static_cast<ULONGLONG>(entry.written.dwHighDateTime) << 32) |
                          entry.written.dwLowDateTime);
        out += Sha256Of(entry.bytes);
    }
}

std::string BoundManifestBytes(const std::vector<BoundEntry> &entries)
{
    std::string out = "QUPDMAN1";
    Append32(out, static_cast<DWORD>(entries.size()));
    Append32(out, 176);
    AppendEntries(out, entries);
    return out;
}

std::string BoundManifestBytes(const std::vector<BoundEntry> &entries,
                               const std::vector<BoundPatchEntry> &patches)
{
    std::string out = "QUPDMAN2";
    Append32(out, static_cast<DWORD>(entries.size()));
    Append32(out, 176);
    Append32(out, static_cast<DWORD>(patches.size()));
    Append32(out, 88);
    AppendEntries(out, entries);
    for (const BoundPatchEntry &patch : patches) {
        DWORD file = 0;
        while (file < entries.size() && entries[file].name != patch.name)
            ++file;
        Append32(out, file);
        Append32(out, 0);
        Append64(out, patch.base.size());
        out += Sha256Of(patch.base);
        Append64(out, patch.patch.size());
        out += Sha256Of(patch.patch);
    }
    return out;
}

std::string PatchBytes(const std::string &base, const std::string &target)
{
    std::vector<uint8_t> patch;
    EXPECT_TRUE(BlockwisePatch(reinterpret_cast<const uint8_t *>(base.data()), base.size(),
                               reinterpret_cast<const uint8_t *>(target.data()), target.size(),
                               patch));
    return std::string(patch.begin(), patch.end());
}
