#include "startup/run_list_policy.h"

#include "startup/autostart_value.h"

LONG ReadRunListPolicy(HKEY root, DWORD *value, DWORD *type, DWORD *size)
{
    HKEY key = NULL;
    *size = sizeof *value;
    LONG result = RegOpenKeyExA(root, RunListPolicyKeyPath, 0, KEY_QUERY_VALUE, &key);
    if (result != ERROR_SUCCESS)
        return result;
    BYTE *data = reinterpret_cast<BYTE *>(value);
    result = RegQueryValueExA(key, RunListPolicyValueName, NULL, type, data, size);
    RegCloseKey(key);
    return result;
}

int IsRunListPolicyAnswer(LONG result)
{
    return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND || result == ERROR_MORE_DATA;
}

int StopsRunList(LONG result, DWORD type, DWORD size, DWORD value)
{
    return result == ERROR_SUCCESS && type == REG_DWORD && size == sizeof value && value != 0;
}
