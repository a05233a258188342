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

JournalState ReadJournal(const GuardedRoot &root, PassJournal &journal, DWORD &error)
{
    memset(&journal, 0, sizeof journal);
    GuardedFile opened;
    error = OpenGuarded(root, JournalName, nullptr, GENERIC_READ, FILE_SHARE_READ, opened);
    if (error != ERROR_SUCCESS)
        return SaysNotThere(error) ? JournalAbsent : JournalUnreadable;
    HANDLE file = opened.handle;
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

bool WriteJournal(const GuardedRoot &root, const PassJournal &journal, DWORD &error)
{
    BYTE header[JournalHeaderSize] = {};
    memcpy(header, JournalMagic, sizeof JournalMagic);
    PutLittleEndian32(header + CommittedOffset, journal.committed ? 1 : 0);
    PutLittleEndian32(header + EntrySizeOffset, JournalEntrySize);
    PutLittleEndian32(header + CountOffset, journal.count);
    memcpy(header + UpdateOffset, journal.update, DigestSize);
    PutLittleEndian32(header + CheckOffset, Checksum(header, journal.entries, journal.count));
    // A temporary that an ended pass left goes first: the new one is made new.
    GuardedFile file;
    error = RemoveGuarded(root, JournalName, StagedSuffix);
    if (error == ERROR_SUCCESS)
        error = CreateGuarded(root, JournalName, StagedSuffix, GENERIC_WRITE, 0, file,
                              FILE_FLAG_WRITE_THROUGH);
    if (error != ERROR_SUCCESS)
        return false;
    if (!WriteAll(file.handle, header, sizeof header) ||
        !WriteAll(file.handle, journal.entries, journal.count * JournalEntrySize) ||
        !FlushFileBuffers(file.handle))
        error = GetLastError();
    else
        error = RenameGuarded(root, file, JournalName, nullptr, true);
    if (error != ERROR_SUCCESS)
        DeleteGuarded(file);
    return error == ERROR_SUCCESS;
}

bool MarkJournalCommitted(const GuardedRoot &root, DWORD &error)
{
    GuardedFile file;
    error = OpenGuarded(root, JournalName, nullptr, GENERIC_WRITE, 0, file);
    if (error == ERROR_SUCCESS && file.links != 1)
        error = ErrorLinked;
    if (error != ERROR_SUCCESS)
        return false;
    // Four bytes within the first sector: the mark is there or not, never half.
    BYTE mark[4];
    PutLittleEndian32(mark, 1);
    LARGE_INTEGER at;
    at.QuadPart = CommittedOffset;
    bool marked = SetFilePointerEx(file.handle, at, nullptr, FILE_BEGIN) &&
                  WriteAll(file.handle, mark, sizeof mark) && FlushFileBuffers(file.handle);
    if (!marked)
        error = GetLastError();
    return marked;
}
