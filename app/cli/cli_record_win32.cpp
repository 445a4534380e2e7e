// The record's file on Windows: FILE_APPEND_DATA without FILE_WRITE_DATA, so that every write
// lands at the end, also beside another process appending; FlushFileBuffers after each line. The
// processes of one line lock a byte far past any line around the look at the file's end and the
// write, as flock() does on POSIX (see REC_AppendLine there).
#include "app/cli/cli_record.h"
#include "platform/win32.h"

#include <cstdio>

namespace {

HANDLE RecordFile = INVALID_HANDLE_VALUE;
bool Readable = false; // opened for reading too: the file's last byte can be looked at
std::string RecordPath;
// The byte the processes of a line lock: no file grows this far, so the lock never stands in the
// way of a write.
constexpr DWORD LOCK_OFFSET_HIGH = 0x7FFFFFFF;

// Whether the file ends a line (or is empty). A file this process may only append to is taken as
// ending one.
bool EndsALine() {
    LARGE_INTEGER size{};
    if (!Readable || !GetFileSizeEx(RecordFile, &size) || size.QuadPart == 0)
        return true;
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(size.QuadPart - 1);
    at.OffsetHigh = static_cast<DWORD>((size.QuadPart - 1) >> 32);
    char last = '\n';
    DWORD got = 0;
    return !ReadFile(RecordFile, &last, 1, &got, &at) || got != 1 || last == '\n';
}

std::string ErrorText(DWORD error) {
    char acText[256] = {};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                             acText, sizeof acText, nullptr);
    while (n > 0 && (acText[n - 1] == '\n' || acText[n - 1] == '\r' || acText[n - 1] == '.'))
        acText[--n] = '\0';
    if (n == 0)
        std::snprintf(acText, sizeof acText, "error %lu", static_cast<unsigned long>(error));
    return acText;
}

} // namespace

bool REC_OpenFile(const std::string& path, std::string* pError) {
    // Read access to look at the file's end; a file this user may only append to is taken without.
    const DWORD aRead[] = {FILE_READ_DATA, 0};
    for (DWORD read : aRead) {
        RecordFile = CreateFileA(path.c_str(), FILE_APPEND_DATA | read | SYNCHRONIZE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
        Readable = read != 0;
        if (RecordFile != INVALID_HANDLE_VALUE || GetLastError() != ERROR_ACCESS_DENIED)
            break;
    }
    if (RecordFile == INVALID_HANDLE_VALUE) {
        *pError = path + ": " + ErrorText(GetLastError());
        return false;
    }
    if (GetFileType(RecordFile) != FILE_TYPE_DISK) {
        CloseHandle(RecordFile);
        RecordFile = INVALID_HANDLE_VALUE;
        *pError = path + ": not a regular file";
        return false;
    }
    RecordPath = path;
    return true;
}

bool REC_AppendLine(const std::string& line, std::string* pError) {
    // A line written in part is never cut back (another process's line may follow it already):
    // the next line starts on a fresh one instead.
    OVERLAPPED lock{};
    lock.OffsetHigh = LOCK_OFFSET_HIGH;
    const bool locked = LockFileEx(RecordFile, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &lock) != 0;
    const std::string text = EndsALine() ? line : "\n" + line;
    DWORD written = 0;
    const BOOL wrote = WriteFile(RecordFile, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    const DWORD error = GetLastError();
    if (locked)
        UnlockFileEx(RecordFile, 0, 1, 0, &lock);
    if (!wrote || written != text.size()) {
        *pError = RecordPath + ": " +
                  (!wrote ? ErrorText(error)
                          : std::string("the line was written only in part (the disk full, or the file "
                                        "at its size limit)"));
        return false;
    }
    if (!FlushFileBuffers(RecordFile)) {
        *pError = RecordPath + ": not flushed to disk: " + ErrorText(GetLastError());
        return false;
    }
    return true;
}

std::string REC_HostName() {
    char acName[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof acName;
    return GetComputerNameA(acName, &size) ? std::string(acName, size) : std::string();
}

std::string REC_UtcNow() {
    SYSTEMTIME now;
    GetSystemTime(&now);
    char acText[96];
    std::snprintf(acText, sizeof acText, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", now.wYear, now.wMonth,
                  now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    return acText;
}
