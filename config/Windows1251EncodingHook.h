// The expat unknown-encoding handler that accepts "windows-1251" (any letter case) as a single-byte
// map; every other unknown name is declined and the parse fails with expat's own error.
#pragma once

#include <expat.h>

namespace zel {

int XMLCALL Windows1251EncodingHook(void* userData, const XML_Char* name, XML_Encoding* info);

}  // namespace zel
