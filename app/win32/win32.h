// The one place where the Windows headers are included, with the few settings they need: the ANSI
// functions are called by name, so the headers' UNICODE choice must not matter, and the program
// runs on every Windows from 7 on.
#pragma once
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <commctrl.h>
