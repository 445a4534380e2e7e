// Program-wide services of the application shell that lower layers use. Qt-free.
#pragma once

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
