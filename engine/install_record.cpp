#include "../product/product_config.h"
#include "setup_engine.h"

#include <string.h>
#include <wchar.h>

bool SetupEngine::OpenRecordKey()
{
    CloseRecordKey();
    // The shipped tool is 32-bit: both builds read the 32-bit view, where the record lies.
    // Read, never opened for writing: a copy that runs neither elevated nor virtualized (as
    // the manifest asks) is refused write access to HKLM. Wine grants any access here, so no
    // test can see the difference.
    wchar_t keyName[PathFieldCapacity];
    if (MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, Product.installRecordKey, -1, keyName,
                            PathFieldCapacity) == 0)
        return false;
    HKEY key = nullptr;
    LONG status =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyName, 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY, &key);
    if (status != ERROR_SUCCESS)
        return false;
    registryKey = key;
    return true;
}

bool SetupEngine::QueryRecordValue(const wchar_t *name, DWORD expectedType, void *buffer,
                                   DWORD bufferSize, DWORD *bytesRead, DWORD *typeRead)
{
    (void)expectedType; // installations have been seen to store the type loosely
    DWORD type = 0;
    DWORD size = bufferSize;
    LONG status =
        RegQueryValueExW(registryKey, name, nullptr, &type, static_cast<BYTE *>(buffer), &size);
    if (status != ERROR_SUCCESS) {
        CloseRecordKey();
        return false;
    }
    if (bytesRead != nullptr)
        *bytesRead = size;
    if (typeRead != nullptr)
        *typeRead = type;
    return true;
}

// The system gives a value it holds as text in UTF-16, and any other as stored.
static bool HeldAsText(DWORD type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// In UTF-16, so that a folder named in any script arrives whole. A path stored loosely as
// bytes is in the system's code page, as the ANSI reading took it, within the same 260 bytes.
// A value may be stored without its NUL; one that fills the whole field cannot be a complete
// path, so it counts as missing rather than being read past its end.
bool SetupEngine::QueryRecordString(const wchar_t *name, wchar_t *field)
{
    DWORD size = 0;
    DWORD type = REG_NONE;
    if (!QueryRecordValue(name, REG_SZ, field, PathFieldCapacity * sizeof(wchar_t), &size, &type))
        return false;
    bool whole;
    if (HeldAsText(type)) {
        DWORD characters = size / sizeof(wchar_t);
        whole = characters < PathFieldCapacity || wmemchr(field, L'\0', characters) != nullptr;
        if (characters < PathFieldCapacity)
            field[characters] = L'\0';
    } else {
        char bytes[PathFieldCapacity + 1];
        whole = size <= PathFieldCapacity;
        if (whole) {
            memcpy(bytes, field, size);
            bytes[size] = '\0';
            whole = strlen(bytes) < PathFieldCapacity &&
                    MultiByteToWideChar(CP_ACP, 0, bytes, -1, field, PathFieldCapacity) != 0;
        }
    }
    if (!whole) {
        field[0] = L'\0';
        CloseRecordKey();
    }
    return whole;
}

// Its 4 bytes count as the ANSI reading counted them: a type stored as text fits when its form
// in the system's code page does, which takes at most twice as many bytes in UTF-16.
bool SetupEngine::QueryInstallType()
{
    wchar_t value[sizeof installType];
    DWORD size = 0;
    DWORD type = REG_NONE;
    if (!QueryRecordValue(L"InstType", REG_DWORD, value, sizeof value, &size, &type))
        return false;
    bool fits;
    if (HeldAsText(type)) {
        int characters = static_cast<int>(size / sizeof(wchar_t));
        fits = characters == 0 || WideCharToMultiByte(CP_ACP, 0, value, characters,
                                                      reinterpret_cast<char *>(&installType),
                                                      sizeof installType, nullptr, nullptr) != 0;
    } else {
        fits = size <= sizeof installType;
        if (fits)
            memcpy(&installType, value, size);
    }
    if (!fits)
        CloseRecordKey();
    return fits;
}

void SetupEngine::CloseRecordKey()
{
    if (registryKey != nullptr)
        RegCloseKey(registryKey);
    registryKey = nullptr;
}

// Windows takes either slash as a separator in a path it is given whole; the extended form
// (\\?\) takes the characters as written, backslashes alone.
static bool IsSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

static bool StartsWithDriveRoot(const wchar_t *path, bool eitherSeparator)
{
    wchar_t letter = path[0];
    return ((letter >= L'A' && letter <= L'Z') || (letter >= L'a' && letter <= L'z')) &&
           path[1] == L':' && (path[2] == L'\\' || (eitherSeparator && path[2] == L'/'));
}

// "server\share", alone or followed by a separator and more. A server named "." or "?" is
// the device namespace, not a share.
static bool StartsWithServerAndShare(const wchar_t *path, bool eitherSeparator)
{
    const wchar_t *serverEnd = path;
    while (*serverEnd != L'\0' &&
           !(eitherSeparator ? IsSeparator(*serverEnd) : *serverEnd == L'\\'))
        ++serverEnd;
    bool device = serverEnd - path == 1 && (path[0] == L'.' || path[0] == L'?');
    if (*serverEnd == L'\0' || serverEnd == path || device)
        return false;
    return serverEnd[1] != L'\0' && !IsSeparator(serverEnd[1]);
}

static const wchar_t ExtendedPrefix[] = L"\\\\?\\";

// Any other form (relative, drive-relative, root-relative, a device) names a folder that
// depends on where the tool was started, and the update would land there.
static bool IsFullPath(const wchar_t *path)
{
    if (wcsncmp(path, ExtendedPrefix, 4) == 0) {
        const wchar_t *rest = path + 4;
        if (StartsWithDriveRoot(rest, false))
            return true;
        return _wcsnicmp(rest, L"UNC\\", 4) == 0 && StartsWithServerAndShare(rest + 4, false);
    }
    if (IsSeparator(path[0]) && IsSeparator(path[1]))
        return StartsWithServerAndShare(path + 2, true);
    return StartsWithDriveRoot(path, true);
}

// As the system would make it whole: separators become backslashes, "." and ".." go, and so
// does a closing separator, except a drive's root ("C:\"). The extended form is taken as
// written. False when it would not fit the field.
static bool NormaliseFullPath(wchar_t *field)
{
    wchar_t whole[PathFieldCapacity];
    bool extended = wcsncmp(field, ExtendedPrefix, 4) == 0;
    if (!extended) {
        DWORD length = GetFullPathNameW(field, PathFieldCapacity, whole, nullptr);
        if (length == 0 || length >= PathFieldCapacity)
            return false;
        lstrcpynW(field, whole, PathFieldCapacity);
    }
    size_t driveRoot = extended ? 7 : 3;
    size_t length = wcslen(field);
    while (length > 0 && field[length - 1] == L'\\' &&
           !(length == driveRoot && field[length - 2] == L':'))
        field[--length] = L'\0';
    return true;
}

bool SetupEngine::ReadInstallRecord()
{
    if (!OpenRecordKey())
        return false;
    if (!QueryRecordString(L"Dir", installFolder))
        return false;
    if (!IsFullPath(installFolder) || !NormaliseFullPath(installFolder)) {
        CloseRecordKey();
        return false;
    }
    if (!QueryRecordString(L"CD", sourceFolder))
        return false;
    if (!QueryInstallType())
        return false;
    CloseRecordKey();
    return true;
}
