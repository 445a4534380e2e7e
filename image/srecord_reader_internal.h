// The reader's state for one load and the line reading shared by the text and the file form.
// Private to image/: the file form only fills a buffer and runs the same line reader over it.
#pragma once
#include <cstdint>

struct ImageStore;

struct MotFile {
    int32_t LineCount;  // line ends passed so far
    const char* pRead;  // the next character to read
    const char* pText;  // the text being read (the caller's text, or the file buffer)
    uint8_t Checksum;   // running sum of the current record's bytes
    const char* pError; // the first error found, or none
    char* acError;      // the caller's buffer, which receives every error text
    int32_t ErrorSize;  // its size including the NUL; 0 when there is none
    int ErrorResult;    // the load's result once an error is set: -5 a faulty line, -3, -4
};

void MotFile_Init(MotFile* pMot, const char* pText, char* acError, int32_t errorSize);
// Records the error and copies its text into the caller's buffer, cut to its size.
void MotFile_SetError(MotFile* pMot, const char* pText);
void MotFile_SetLineError(MotFile* pMot, const char* pText, int result);
// Reads one record and its line end; false once the text has ended or an error is set.
bool MotFile_ReadLine(MotFile* pMot, ImageStore* pStore);
// 0 when no error was found; else writes "Error in line %d: %s" to the caller and returns the result.
int MotFile_Finish(MotFile* pMot);
