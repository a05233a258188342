#include "../product/product_config.h"
#include "setup_engine.h"

#include <string.h>

bool SetupEngine::OpenRecordKey()
{
    CloseRecordKey();
    // The shipped tool is 32-bit: both builds read the 32-bit view, where the record lies.
    HKEY key = nullptr;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, Product.installRecordKey, 0,
                                KEY_ALL_ACCESS | KEY_WOW64_32KEY, &key);
    if (status != ERROR_SUCCESS)
        return false;
    registryKey = key;
    return true;
}

bool SetupEngine::QueryRecordValue(const char *name, DWORD expectedType, void *buffer,
                                   DWORD bufferSize, DWORD *bytesRead)
{
    (void)expectedType; // installations have been seen to store the type loosely
    DWORD type = 0;
    DWORD size = bufferSize;
    LONG status =
        RegQueryValueExA(registryKey, name, nullptr, &type, static_cast<BYTE *>(buffer), &size);
    if (status != ERROR_SUCCESS) {
        CloseRecordKey();
        return false;
    }
    if (bytesRead != nullptr)
        *bytesRead = size;
    return true;
}

// A value may be stored without its NUL; one that fills the whole field cannot be a
// complete path, so it counts as missing rather than being read past its end.
bool SetupEngine::QueryRecordString(const char *name, char *field)
{
    DWORD size = 0;
    if (!QueryRecordValue(name, REG_SZ, field, PathFieldCapacity, &size))
        return false;
    if (memchr(field, '\0', size) != nullptr)
        return true;
    if (size < PathFieldCapacity) {
        field[size] = '\0';
        return true;
    }
    field[0] = '\0';
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
    if (!QueryRecordString("Dir", installFolder))
        return false;
    if (!QueryRecordString("CD", sourceFolder))
        return false;
    if (!QueryRecordValue("InstType", REG_DWORD, &installType, sizeof installType))
        return false;
    CloseRecordKey();
    return true;
}
