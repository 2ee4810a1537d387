// The one header through which the system's code reaches the platform, under the Win32 names.
//
// On Windows this is the Windows headers themselves. Everywhere else it is the subset of the
// Win32 API that the system uses, declared in win32_subset.h and implemented over POSIX/Linux
// in src/platform/posix/ (and, for the unit tests, by the fake platform under tests/fake/).
#pragma once

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <tlhelp32.h>
#else
#include "platform/win32_subset.h"
#endif
