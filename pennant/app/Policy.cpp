#include "app/Policy.h"

#include "app/Log.h"

namespace pennant {

LSTATUS OpenPolicyKey(UniqueRegKey& key) {
    BOOL wow64 = FALSE;
    if (!IsWow64Process(GetCurrentProcess(), &wow64))
        Log(LogError, "IsWow64Process failed, errno = %lu", GetLastError());
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, PolicyKey, 0,
                         KEY_QUERY_VALUE | (wow64 ? KEY_WOW64_64KEY : 0), key.Receive());
}

}  // namespace pennant
