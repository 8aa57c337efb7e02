// <windows.h> for the few places outside the Windows host that call the
// Windows API themselves (file locks, the console mode), without its min/max
// macros and its rarely used parts, whoever included it first.
#pragma once

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#endif
