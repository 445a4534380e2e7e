// Program-wide services of the application shell that lower layers use. Qt-free.
#pragma once
#include <cstdint>

struct ImageStore;

// The program's firmware image, filled once at start-up by APP_LoadImage; none when loading failed.
extern ImageStore* pProgramImage;

// Creates the program's image store and loads the embedded firmware text into it.
// 0 on success; otherwise the reader's result, with the store destroyed and set to none.
int APP_LoadImage();

// The reader's message of the last APP_LoadImage (255 characters, NUL-terminated).
const char* APP_LoadError();

// Main thread: the task-modal "Error" box; a call made while one is open is dropped.
void APP_ErrorBox(const char* text);

// "TQ330 Updater  V03.11", built on the first call.
const char* APP_GetTitle();

// The start-up sequence: load the image, start the worker, detect the ports, run the main dialog.
// Returns when the dialog has ended or after a start-up failure box was closed.
void APP_Main();

// The ports detection found (zero-based indices, 0 is COM1) in the order found, and their count.
// Filled by APP_Main before the dialog exists; the dialog reads them.
extern int32_t aPortList[9];
extern int32_t PortCount;
// The start-up's port choice, for the window and tq330-flash alike: detects the ports into
// aPortList and PortCount and returns PortCount. When none is found the ports detection held are
// released and 0 is returned: the start-up then says APP_NO_PORT_TEXT.
int32_t APP_DetectPorts();
extern const char* const APP_NO_PORT_TEXT;
