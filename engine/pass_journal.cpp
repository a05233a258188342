// The journal's file: a fixed header, then one fixed-size entry per changed file. A checksum of
// everything but the committed mark tells a journal cut short or overwritten from a whole one.
#include "pass_journal.h"

#include "setup_engine.h"

#include <stdlib.h>
#include <string.h>

const wchar_t JournalName[] = L"update.qupdate-journal";

namespace {

const char JournalMagic[8] = {'Q', 'U', 'P', 'D', 'J', 'R', 'N', '1'};
enum : DWORD {
    CommittedOffset = 8,
    EntrySizeOffset = 12,
    CountOffset = 16,
    CheckOffset = 20,
    UpdateOffset = 24,
    JournalHeaderSize = 56,
    JournalEntrySize = 160,
    JournalCountLimit = 65536,
};
static_assert(sizeof(JournalEntry) == JournalEntrySize, "entries are written as they are held");

void PutLittleEndian32(BYTE *at, DWORD value)
{
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<BYTE>(value >> (8 * i));
}

// The system's CRC-32 (ntdll's, which every process has loaded): a SHA-256 here would load the
// CryptoAPI into every plain pass for nothing it needs. Where it is missing, 0 and no check.
DWORD Checksum(const BYTE *header, const void *entries, DWORD count)
{
    typedef DWORD(WINAPI * ComputeCrc32Function)(DWORD, const BYTE *, INT);
    FARPROC found = SystemFunction("ntdll.dll", "RtlComputeCrc32");
    if (found == nullptr)
        return 0;
    auto crc32 = reinterpret_cast<ComputeCrc32Function>(reinterpret_cast<void (*)()>(found));
    DWORD crc = crc32(0, header + EntrySizeOffset, CheckOffset - EntrySizeOffset);
    crc = crc32(crc, header + UpdateOffset, JournalHeaderSize - UpdateOffset);
    return crc32(crc, static_cast<const BYTE *>(entries),
                 static_cast<INT>(count * JournalEntrySize));
}

bool WriteAll(HANDLE file, const void *bytes, DWORD size)
{
    DWORD written = 0;
    return WriteFile(file, bytes, size, &written, nullptr) && written == size;
}

} // namespace

JournalState ReadJournal(const wchar_t *path, PassJournal &journal, DWORD &error)
{
    memset(&journal, 0, sizeof journal);
    error = ERROR_SUCCESS;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        // A folder the system cannot take holds no journal; the pass tells of the folder.
        bool there = !SaysNotThere(error) && GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
        return there ? JournalUnreadable : JournalAbsent;
    }
    JournalState state = JournalUnreadable;
    BYTE header[JournalHeaderSize];
    DWORD got = 0;
    LARGE_INTEGER size = {};
    DWORD count = 0;
    if (!GetFileSizeEx(file, &size) || !ReadFile(file, header, sizeof header, &got, nullptr))
        error = GetLastError();
    else if (got == sizeof header && memcmp(header, JournalMagic, sizeof JournalMagic) == 0 &&
             ReadLittleEndian32(header + CommittedOffset) <= 1 &&
             ReadLittleEndian32(header + EntrySizeOffset) == JournalEntrySize)
        count = ReadLittleEndian32(header + CountOffset);
    if (count != 0 && count <= JournalCountLimit &&
        static_cast<ULONGLONG>(size.QuadPart) == JournalHeaderSize + count * JournalEntrySize) {
        journal.entries = static_cast<JournalEntry *>(calloc(count, sizeof(JournalEntry)));
        if (journal.entries == nullptr)
            FatalError();
        DWORD bytes = count * JournalEntrySize;
        if (!ReadFile(file, journal.entries, bytes, &got, nullptr))
            error = GetLastError();
        else if (got == bytes && Checksum(header, journal.entries, count) ==
                                     ReadLittleEndian32(header + CheckOffset))
            state = JournalRead;
    }
    CloseHandle(file);
    if (state != JournalRead) {
        free(journal.entries);
        memset(&journal, 0, sizeof journal);
        if (error == ERROR_SUCCESS)
            error = ERROR_INVALID_DATA;
        return state;
    }
    journal.count = count;
    journal.committed = ReadLittleEndian32(header + CommittedOffset) == 1;
    memcpy(journal.update, header + UpdateOffset, DigestSize);
    return state;
}

bool WriteJournal(const wchar_t *path, const wchar_t *temporaryPath, const PassJournal &journal,
                  DWORD &error)
{
    BYTE header[JournalHeaderSize] = {};
    memcpy(header, JournalMagic, sizeof JournalMagic);
    PutLittleEndian32(header + CommittedOffset, journal.committed ? 1 : 0);
    PutLittleEndian32(header + EntrySizeOffset, JournalEntrySize);
    PutLittleEndian32(header + CountOffset, journal.count);
    memcpy(header + UpdateOffset, journal.update, DigestSize);
    PutLittleEndian32(header + CheckOffset, Checksum(header, journal.entries, journal.count));
    error = ERROR_SUCCESS;
    HANDLE file = CreateFileW(temporaryPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return false;
    }
    bool written = WriteAll(file, header, sizeof header) &&
                   WriteAll(file, journal.entries, journal.count * JournalEntrySize) &&
                   FlushFileBuffers(file);
    if (!written)
        error = GetLastError();
    CloseHandle(file);
    if (written &&
        !MoveFileExW(temporaryPath, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = GetLastError();
        written = false;
    }
    if (!written)
        DeleteFileW(temporaryPath);
    return written;
}

bool MarkJournalCommitted(const wchar_t *path, DWORD &error)
{
    error = ERROR_SUCCESS;
    HANDLE file =
        CreateFileW(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return false;
    }
    // Four bytes within the first sector: the mark is there or not, never half.
    BYTE mark[4];
    PutLittleEndian32(mark, 1);
    bool marked = SetFilePointer(file, CommittedOffset, nullptr, FILE_BEGIN) == CommittedOffset &&
                  WriteAll(file, mark, sizeof mark) && FlushFileBuffers(file);
    if (!marked)
        error = GetLastError();
    CloseHandle(file);
    return marked;
}
