// Motorola S-record text into an image store. The text form reads the caller's NUL-terminated text
// in place; the file form only fills a bounded buffer and runs the same reader over it.
// Results: 0 read; -1 file not opened; -3 no buffer; -4 not an S-record file; -5 a faulty line.
// On failure the message ("Error in line %d: %s") is written into acError, cut to errorSize.
#pragma once

struct ImageStore;

int SRecordReader_LoadText(ImageStore* pStore, const char* pText, char* acError, int errorSize);
int SRecordReader_LoadFile(ImageStore* pStore, const char* pPath, char* acError, int errorSize);
