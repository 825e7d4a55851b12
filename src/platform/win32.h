// The Windows API without the min and max macros. Include it after the library's own headers:
// windows.h defines GMEM_* and HFILE_ERROR as macros (with the same values as platform.h).
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
