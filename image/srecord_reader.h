// Motorola S-record text into an image store. The text form reads the caller's NUL-terminated text
// in place; the file form only fills a bounded buffer and runs the same reader over it.
// Results: 0 read; -1 file not opened (or the store's lock not obtained, "Image store locked");
// -3 no buffer, or the store ran out of memory ("malloc Problem"); -4 not an S-record file; -5 a faulty
// line. On failure the message ("Error in line %d: %s") is written into acError, cut to errorSize.
// The reader stops at the first error; what was read before it stays in the store.
#pragma once

struct ImageStore;

int SRecordReader_LoadText(ImageStore* pStore, const char* pText, char* acError, int errorSize);
int SRecordReader_LoadFile(ImageStore* pStore, const char* pPath, char* acError, int errorSize);
