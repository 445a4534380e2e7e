// The window's own Windows headers: the Common Controls (the progress bar) on top of the platform's
// one header, for the Win32 front end and the tests that drive its window.
#pragma once
#include "platform/win32.h"

#include <commctrl.h>
