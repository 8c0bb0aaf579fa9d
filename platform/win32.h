// The one place where the program meets the platform. On Windows it is the
// real thing; on any other host it is our own stand-in, so that the program
// code compiles unchanged for both.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <shlwapi.h>
#include <fcntl.h>
#include <io.h>
#else
#include "standin/win32.h"
#endif
