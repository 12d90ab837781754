// The one operating-system include for everything outside app/.
// On Windows it is the real SDK; elsewhere our stand-in declares the same
// names with the same signatures and behaviour for the arguments we pass.
#pragma once

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>
#else
#include "posix/win32_api.h"
#endif
