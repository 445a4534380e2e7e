// The one place where the Windows headers are included, for every Windows source of the project
// (the window, the command line's Windows parts, the serial port, the file reader, the Windows
// tests), with the few settings they need: the ANSI functions are called by name, so the headers'
// UNICODE choice must not matter; min and max stay the standard library's; and the headers declare
// nothing newer than Windows 7 SP1, the oldest Windows the programs run on (the toolchain sets the
// version for every file, the resource script included).
#pragma once
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#if !defined(_WIN32_WINNT) || _WIN32_WINNT != 0x0601 || !defined(WINVER) || WINVER != 0x0601
#error "Windows builds target Windows 7 SP1: _WIN32_WINNT and WINVER 0x0601 (cmake/toolchain-mingw64.cmake)"
#endif
#include <windows.h>

#include <commctrl.h>
#include <setupapi.h>
#include <shellapi.h>
#include <tlhelp32.h>
