// The record's file on POSIX: O_APPEND, so that every write lands at the end, also beside another
// process appending to the same file; fsync after each line, so that a power cut keeps it.
#include "app/cli/cli_output.h"
#include "app/cli/cli_record.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int RecordFd = -1;
std::string RecordPath;

} // namespace

bool REC_OpenFile(const std::string& path, std::string* pError) {
    RecordFd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
    if (RecordFd < 0) {
        *pError = path + ": " + CLI_ErrorText(errno);
        return false;
    }
    struct stat info {};
    if (fstat(RecordFd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(RecordFd);
        RecordFd = -1;
        *pError = path + ": not a regular file";
        return false;
    }
    RecordPath = path;
    return true;
}

bool REC_AppendLine(const std::string& line, std::string* pError) {
    // One write: a short one would leave half a line that another writer's line could follow.
    ssize_t written = -1;
    do
        written = write(RecordFd, line.data(), line.size());
    while (written < 0 && errno == EINTR);
    if (written != static_cast<ssize_t>(line.size())) {
        *pError = RecordPath + ": " + (written < 0 ? CLI_ErrorText(errno) : std::string("short write"));
        return false;
    }
    if (fsync(RecordFd) != 0) {
        *pError = RecordPath + ": not flushed to disk: " + CLI_ErrorText(errno);
        return false;
    }
    return true;
}

std::string REC_HostName() {
    char acName[HOST_NAME_MAX + 1] = {};
    if (gethostname(acName, sizeof acName - 1) != 0)
        return "";
    return acName;
}

std::string REC_UtcNow() {
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    long ms = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char acText[96];
    std::snprintf(acText, sizeof acText, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, ms);
    return acText;
}
