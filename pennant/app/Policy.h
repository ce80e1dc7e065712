// The machine policy an administrator sets for pennant (by group policy or
// reg.exe): trusted publishers and the proxy's credentials.
#pragma once

#include "app/Handles.h"

#include <windows.h>

namespace pennant {

constexpr wchar_t PolicyKey[] = L"SOFTWARE\\Policies\\pennant";

// Opens the policy key for reading: in the 64-bit view when a 32-bit
// pennant runs on 64-bit Windows, where an administrator's 64-bit tools
// wrote it; in the native view elsewhere. The registry's status, as
// RegOpenKeyEx gives it (ERROR_FILE_NOT_FOUND: no policy is set).
LSTATUS OpenPolicyKey(UniqueRegKey& key);

}  // namespace pennant
