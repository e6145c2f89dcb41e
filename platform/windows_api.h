// The one way the rest of the code reaches Windows: the system headers on
// Windows, the project's stand-in layer everywhere else.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// windows.h first: these rely on its types.
#include <objbase.h>
#include <shellapi.h>
#else
#include "standin/windows_standin.h"
#endif
