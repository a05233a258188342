// Real files and a real registry record for the engine tests, all removed afterwards.
#pragma once

#include <gtest/gtest.h>
#include <ostream>
#include <string>
#include <vector>
#include <windows.h>

#include "../../engine/update_pass.h"

// A path as a test names it: CP932 bytes, as most cases write them, or UTF-16 for names that
// CP932 cannot hold. It reaches the system through the W calls, in the extended-length form
// when it is long, so that the tests see what the updater made at any depth.
class TestPath {
  public:
    TestPath(const std::string &cp932);
    TestPath(const char *cp932);
    TestPath(const std::wstring &utf16);
    TestPath(const wchar_t *utf16);
    const std::wstring &wide() const { return wide_; }
    const wchar_t *system() const { return system_.c_str(); }

  private:
    void Finish();
    std::wstring wide_, system_;
};
std::wstring Wide(const std::string &cp932);
// A character CP932 lacks comes back as "?".
std::string Cp932(const std::wstring &text);
// For failure messages.
std::string Utf8(const std::wstring &text);
std::ostream &operator<<(std::ostream &out, const TestPath &path);
// A test's path into a path field of the engine.
void SetPathField(wchar_t *field, const TestPath &path);

// A fresh folder under the prefix's temporary folder, removed with its content.
class TemporaryFolder {
  public:
    TemporaryFolder();
    ~TemporaryFolder();
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "\\" + name; }

  private:
    std::string path_;
};

void RemoveTree(const TestPath &path);
void MakeFolder(const TestPath &path);

// Content that differs from file to file: byte i is (seed + i * 7) mod 251.
std::string PatternBytes(size_t size, unsigned seed);
void WriteFileBytes(const TestPath &path, const std::string &bytes);
bool ReadFileBytes(const TestPath &path, std::string &bytes);
// Sizes and the first differing offset rather than megabytes of bytes.
testing::AssertionResult SameBytes(const std::string &actual, const std::string &expected);
bool FileExists(const TestPath &path);
DWORD AttributesOf(const TestPath &path);
bool SetAttributes(const TestPath &path, DWORD attributes);
bool RemoveFile(const TestPath &path);
// The names in a folder, sorted, without "." and "..": what a copy left behind.
std::vector<std::string> FolderNames(const TestPath &path);

// A Unix shell command, which Wine starts as it starts any process: how a test acts on the
// machine as someone beside the updater would. Its exit status; -1 when it did not end within
// 30 s. Paths go in single quotes.
int RunUnixCommand(const std::wstring &command);
// Where Wine keeps what a path names, in UTF-16 for a command line.
std::wstring UnixPath(const TestPath &path);
// A Unix symbolic link at link to target (which need not exist), as Wine can neither make nor
// tell apart from a file by every call; false when nothing is at link afterwards.
bool PlantSymbolicLink(const TestPath &link, const TestPath &target);
// Removes a file, a link or a folder with all it holds, following no link: removed through
// Wine, a link to a folder would take what it leads to with it.
void RemoveThroughUnix(const TestPath &path);
// Everything in a folder that a write through a link could change: each file's name, bytes,
// attributes and write time, and the folder's own write time, which even a file made there
// and removed again moves.
std::string StateOf(const TestPath &folder);
// A folder nobody can create, rename or remove files in, root included (chattr +i), for the
// time of the object; made() is false where the file system or the user cannot do that.
class ImmutableFolder {
  public:
    explicit ImmutableFolder(const TestPath &folder);
    ~ImmutableFolder();
    bool made() const { return made_; }

  private:
    std::wstring unixPath_;
    bool made_;
};

// A handle held the way another program would hold the file. The system checks share modes
// against every open handle, whichever process owns it.
class HeldOpen {
  public:
    HeldOpen(const TestPath &path, DWORD access, DWORD share);
    ~HeldOpen() { Release(); }
    bool held() const { return handle_ != INVALID_HANDLE_VALUE; }
    void Release();

  private:
    HANDLE handle_;
};

struct FileTimes {
    FILETIME created, accessed, written;
};
FileTimes TimesOf(const TestPath &path);
void SetTimes(const TestPath &path, const FileTimes &times);
FileTimes TimesAt(int year);
testing::AssertionResult SameTimes(const FileTimes &actual, const FileTimes &expected);

// The installation record in the 32-bit view, where the shipped tool looks.
class RecordKey {
  public:
    RecordKey();  // removes any record left behind
    ~RecordKey(); // and removes this one
    void SetString(const char *name, const std::string &bytes, DWORD type = REG_SZ);
    // As a Unicode installer writes a path: its characters and the NUL.
    void SetPath(const char *name, const TestPath &path);
    void SetDword(const char *name, DWORD value);
    void DeleteValue(const char *name);
};

// A pass's view that records what the pass tells and answers its questions as scripted. The
// hooks let a test act at a moment of the pass: the n-th pause, a file's progress.
struct RecordingView {
    RecordingView();
    RecordingView(const RecordingView &) = delete;
    void Reset(); // forgets what was told; keeps the answers' hooks
    PassView view;
    std::vector<PassReport> stops;
    std::vector<std::string> stopNames; // the report's name, kept past the pass
    std::vector<bool> answers;          // Retry (true) or Cancel, in turn; Cancel when none left
    unsigned pauses;
    bool completed;
    PassProgress last;
    void (*onPause)(RecordingView &view, unsigned pause);
    void (*onProgress)(RecordingView &view, const PassProgress &progress);
    void *hookData;
};

// SHA-256 from the system, as a packer would give it.
std::string Sha256Of(const std::string &bytes);
// The list a packer binds into the exe, for names with their bytes and write time.
struct BoundEntry {
    std::string name;
    std::string bytes;
    FILETIME written;
};
std::string BoundManifestBytes(const std::vector<BoundEntry> &entries);
// A patch of a bound update: the listed name of the file it rebuilds, the bytes of the version it
// starts from and its own.
struct BoundPatchEntry {
    std::string name;
    std::string base;
    std::string patch;
};
// The list with patches (version 2), as scripts/package --from binds it; the patches in the
// order given, each file's numbered from 1 in that order.
std::string BoundManifestBytes(const std::vector<BoundEntry> &entries,
                               const std::vector<BoundPatchEntry> &patches);

// A patch of ours from base to target, made as the packer's (tools/patch_writer) without a
// suffix array: block by block at the same offsets.
std::string PatchBytes(const std::string &base, const std::string &target);
