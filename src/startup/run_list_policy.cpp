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
