// Real files and a real registry record for the engine tests, all removed afterwards.
#pragma once

#include <gtest/gtest.h>
#include <string>
#include <vector>
#include <windows.h>

#include "../../engine/update_pass.h"

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

void RemoveTree(const std::string &path);
void MakeFolder(const std::string &path);

// Content that differs from file to file: byte i is (seed + i * 7) mod 251.
std::string PatternBytes(size_t size, unsigned seed);
void WriteFileBytes(const std::string &path, const std::string &bytes);
bool ReadFileBytes(const std::string &path, std::string &bytes);
// Sizes and the first differing offset rather than megabytes of bytes.
testing::AssertionResult SameBytes(const std::string &actual, const std::string &expected);
bool FileExists(const std::string &path);
DWORD AttributesOf(const std::string &path);
// The names in a folder, sorted, without "." and "..": what a copy left behind.
std::vector<std::string> FolderNames(const std::string &path);

// A handle held the way another program would hold the file. The system checks share modes
// against every open handle, whichever process owns it.
class HeldOpen {
  public:
    HeldOpen(const std::string &path, DWORD access, DWORD share);
    ~HeldOpen() { Release(); }
    bool held() const { return handle_ != INVALID_HANDLE_VALUE; }
    void Release();

  private:
    HANDLE handle_;
};

struct FileTimes {
    FILETIME created, accessed, written;
};
FileTimes TimesOf(const std::string &path);
void SetTimes(const std::string &path, const FileTimes &times);
FileTimes TimesAt(int year);
testing::AssertionResult SameTimes(const FileTimes &actual, const FileTimes &expected);

// The installation record in the 32-bit view, where the shipped tool looks.
class RecordKey {
  public:
    RecordKey();  // removes any record left behind
    ~RecordKey(); // and removes this one
    void SetString(const char *name, const std::string &bytes, DWORD type = REG_SZ);
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
