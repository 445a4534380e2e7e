// The window's small icon as drawn in its caption, checked from outside the program.
#pragma once
#include "platform/win32.h"

#include <string>

// True when the caption of hDlg shows, pixel for pixel where it is opaque, the small-size image
// (SM_CXSMICON) of icon `id` in the program file `exe`, and not the large one shrunk. pWhat says
// what was compared.
bool CaptionShowsSmallIcon(HWND hDlg, const char* exe, int id, std::string* pWhat);
