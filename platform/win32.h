// The one place where <windows.h> is included, for every Windows source of every layer (the serial
// port and its sockets, the file reader, the window, the command line's Windows parts, the Windows
// tests, the resource script), with the few settings they need: the ANSI functions are called by
// name, so the headers' UNICODE choice must not matter; min and max stay the standard library's;
// and the headers declare nothing newer than Windows 7 SP1, the oldest Windows the programs run on
// (the toolchain sets the version for every file, the resource script included). A file that needs
// one more Windows header (SetupAPI, the Common Controls) includes it after this one.
#pragma once
#ifndef _WIN32
#error "platform/win32.h belongs to the Windows build only"
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#if !defined(_WIN32_WINNT) || _WIN32_WINNT != 0x0601 || !defined(WINVER) || WINVER != 0x0601
#error "Windows builds target Windows 7 SP1: _WIN32_WINNT and WINVER 0x0601 (cmake/toolchain-mingw64.cmake)"
#endif
// Winsock 2 goes before <windows.h> (Winsock's own rule: a <windows.h> without WIN32_LEAN_AND_MEAN
// brings Winsock 1, which clashes with it); taken here, the order cannot go wrong in any file.
#ifndef RC_INVOKED
#include <winsock2.h>
#endif
#include <windows.h>
