// Texts as they enter from a client: BSTR arguments become byte strings in
// the system ANSI code page (see Text.h for what is lost there).
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>

#include "base/Text.h"

namespace pcg {

// NULL is the empty text.
inline std::string AnsiFromBstr(BSTR text) { return AnsiFromWide(text, text ? SysStringLen(text) : 0); }

}  // namespace pcg
