// The record's file on Windows: FILE_APPEND_DATA without FILE_WRITE_DATA, so that every write
// lands at the end, also beside another process appending; FlushFileBuffers after each line.
#include "app/cli/cli_record.h"
#include "platform/win32.h"

#include <cstdio>

namespace {

HANDLE RecordFile = INVALID_HANDLE_VALUE;
std::string RecordPath;

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
    RecordFile = CreateFileA(path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
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
    DWORD written = 0;
    if (!WriteFile(RecordFile, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) ||
        written != line.size()) {
        *pError = RecordPath + ": " + ErrorText(GetLastError());
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
