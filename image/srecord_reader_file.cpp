// The reader's file form: a bounded buffer, refilled before each line, run through the same line
// reader as a text in memory. Every record line fits in the 1,000 characters kept ahead.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef _WIN32
#include "platform/win32.h"
#include <io.h>
#endif

#include "image/image_store.h"
#include "image/srecord_reader.h"
#include "image/srecord_reader_internal.h"

namespace {

constexpr size_t FILE_BUFFER_SIZE = 60000;
constexpr size_t REFILL_BELOW = 1000;

struct FileFeed {
    int Handle;
    char* acBuffer; // FILE_BUFFER_SIZE characters and a NUL
    size_t Filled;  // characters buffered (the NUL stands behind them)
};

// Reads until the request is met or the file ends; a pipe or a slow device may deliver in pieces.
size_t ReadFully(int handle, char* pDest, size_t wanted) {
    size_t got = 0;
    while (got < wanted) {
        const ssize_t n = read(handle, pDest + got, wanted - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break; // end of file or a failed read: the NUL marks the end of the text
        got += static_cast<size_t>(n);
    }
    return got;
}

// When fewer than 1,000 characters are left, moves them to the front and reads behind them.
void Refill(FileFeed* pFeed, MotFile* pMot) {
    const size_t position = static_cast<size_t>(pMot->pRead - pFeed->acBuffer);
    const size_t left = pFeed->Filled - position;
    if (left >= REFILL_BELOW)
        return;
    memmove(pFeed->acBuffer, pFeed->acBuffer + position, left);
    pFeed->Filled = left + ReadFully(pFeed->Handle, pFeed->acBuffer + left, FILE_BUFFER_SIZE - left);
    pFeed->acBuffer[pFeed->Filled] = '\0';
    pMot->pRead = pFeed->acBuffer;
}

#ifdef _WIN32
// Opens for reading, unshared; only "the file does not exist" (error 2) is a missing file: a missing
// folder on the way, a directory or a file another program holds are handles that cannot be read.
// The descriptor reads the bytes as stored (binary: no CR LF folding, no end at 0x1A). Sets the
// error text and returns -1 on failure.
int OpenFile(const char* pPath, MotFile* pMot) {
    HANDLE h =
        pPath ? CreateFileA(pPath, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)
              : INVALID_HANDLE_VALUE;
    if (h == INVALID_HANDLE_VALUE) {
        MotFile_SetError(pMot, pPath && GetLastError() == ERROR_FILE_NOT_FOUND ? "File not found"
                                                                               : "Invalid file handle");
        return -1;
    }
    const int handle = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDONLY | _O_BINARY);
    if (handle < 0) {
        CloseHandle(h);
        MotFile_SetError(pMot, "Invalid file handle");
    }
    return handle;
}
#else
// Opens for reading; a directory counts as a handle that cannot be read, as any other failure but a
// missing file. Sets the error text and returns -1 on failure.
int OpenFile(const char* pPath, MotFile* pMot) {
    const int handle = pPath ? open(pPath, O_RDONLY | O_CLOEXEC) : -1;
    if (handle < 0) {
        MotFile_SetError(pMot, pPath && errno == ENOENT ? "File not found" : "Invalid file handle");
        return -1;
    }
    struct stat info;
    if (fstat(handle, &info) != 0 || S_ISDIR(info.st_mode)) {
        close(handle);
        MotFile_SetError(pMot, "Invalid file handle");
        return -1;
    }
    return handle;
}
#endif

int LoadOpenFile(ImageStore* pStore, int handle, MotFile* pMot) {
    FileFeed feed{handle, static_cast<char*>(malloc(FILE_BUFFER_SIZE + 1)), 0};
    if (!feed.acBuffer) {
        MotFile_SetLineError(pMot, "malloc Problem", -3);
        return MotFile_Finish(pMot);
    }
    feed.acBuffer[0] = '\0';
    pMot->pText = feed.acBuffer;
    pMot->pRead = feed.acBuffer;
    Refill(&feed, pMot);
    if (feed.acBuffer[0] != 'S')
        MotFile_SetLineError(pMot, "Not a mot file", -4);
    do {
        Refill(&feed, pMot);
    } while (MotFile_ReadLine(pMot, pStore));
    const int result = MotFile_Finish(pMot);
    free(feed.acBuffer);
    return result;
}

} // namespace

int SRecordReader_LoadFile(ImageStore* pStore, const char* pPath, char* acError, int errorSize) {
    MotFile mot;
    MotFile_Init(&mot, nullptr, acError, errorSize);
    if (mot.ErrorSize > 0)
        acError[0] = '\0';
    if (ImageStore_Lock(pStore) != 0) {
        MotFile_SetError(&mot, "Image store locked");
        return -1;
    }
    int result = -1;
    const int handle = OpenFile(pPath, &mot);
    if (handle >= 0) {
        result = LoadOpenFile(pStore, handle, &mot);
        close(handle);
    }
    // A store just read from a file matches that file.
    pStore->ModifiedCount = 0;
    ImageStore_Unlock(pStore);
    return result;
}
