#include "../product/product_config.h"
#include "setup_engine.h"

#include <wchar.h>

bool SetupEngine::OpenRecordKey()
{
    CloseRecordKey();
    // The shipped tool is 32-bit: both builds read the 32-bit view, where the record lies.
    wchar_t keyName[PathFieldCapacity];
    if (MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, Product.installRecordKey, -1, keyName,
                            PathFieldCapacity) == 0)
        return false;
    HKEY key = nullptr;
    LONG status =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyName, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY, &key);
    if (status != ERROR_SUCCESS)
        return false;
    registryKey = key;
    return true;
}

bool SetupEngine::QueryRecordValue(const wchar_t *name, DWORD expectedType, void *buffer,
                                   DWORD bufferSize, DWORD *bytesRead)
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
    return true;
}

// In UTF-16, as the system holds it, so that a folder named in any script arrives whole. A
// value may be stored without its NUL; one that fills the whole field cannot be a complete
// path, so it counts as missing rather than being read past its end.
bool SetupEngine::QueryRecordString(const wchar_t *name, wchar_t *field)
{
    DWORD size = 0;
    if (!QueryRecordValue(name, REG_SZ, field, PathFieldCapacity * sizeof(wchar_t), &size))
        return false;
    DWORD characters = size / sizeof(wchar_t);
    if (wmemchr(field, L'\0', characters) != nullptr)
        return true;
    if (characters < PathFieldCapacity) {
        field[characters] = L'\0';
        return true;
    }
    field[0] = L'\0';
    CloseRecordKey();
    return false;
}

void SetupEngine::CloseRecordKey()
{
    if (registryKey != nullptr)
        RegCloseKey(registryKey);
    registryKey = nullptr;
}

bool SetupEngine::ReadInstallRecord()
{
    if (!OpenRecordKey())
        return false;
    if (!QueryRecordString(L"Dir", installFolder))
        return false;
    if (!QueryRecordString(L"CD", sourceFolder))
        return false;
    if (!QueryRecordValue(L"InstType", REG_DWORD, &installType, sizeof installType))
        return false;
    CloseRecordKey();
    return true;
}
