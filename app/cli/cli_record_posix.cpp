// The record's file on POSIX: O_APPEND, so that every write lands at the end, also beside another
// process appending to the same file; fsync after each line, so that a power cut keeps it. The
// processes of one line take flock() around the look at the file's end and the write, so that a
// line never follows a half one (see REC_AppendLine).
#include "app/cli/cli_output.h"
#include "app/cli/cli_record.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int RecordFd = -1;
bool Readable = false; // opened for reading too: the file's last byte can be looked at
std::string RecordPath;

// Whether the file ends a line (or is empty). A file this process may only write to is taken as
// ending one.
bool EndsALine() {
    struct stat info {};
    if (!Readable || fstat(RecordFd, &info) != 0 || info.st_size == 0)
        return true;
    char last = '\n';
    return pread(RecordFd, &last, 1, info.st_size - 1) != 1 || last == '\n';
}

void Lock(int operation) {
    while (flock(RecordFd, operation) != 0 && errno == EINTR) {
    }
}

} // namespace

bool REC_OpenFile(const std::string& path, std::string* pError) {
    const int flags = O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY;
    RecordFd = open(path.c_str(), O_RDWR | flags, 0644);
    Readable = RecordFd >= 0;
    if (RecordFd < 0 && errno == EACCES)
        RecordFd = open(path.c_str(), O_WRONLY | flags, 0644);
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
    // A write cut short (a full disk, a file size limit) leaves half a line, this process's or
    // another's. It is never cut back: the half line may already have another process's line
    // behind it. Instead a line starts on a fresh one when the file does not end in a newline, so
    // that the half line stays one line of its own that a reader skips, and no line is glued to
    // it. Under the lock no other process of the line can append between the look and the write.
    Lock(LOCK_EX);
    const std::string text = EndsALine() ? line : "\n" + line;
    // One write: a second one for the rest would meet the file size limit's SIGXFSZ.
    ssize_t written = -1;
    do
        written = write(RecordFd, text.data(), text.size());
    while (written < 0 && errno == EINTR);
    const int error = errno;
    Lock(LOCK_UN);
    if (written != static_cast<ssize_t>(text.size())) {
        *pError = RecordPath + ": " +
                  (written < 0 ? CLI_ErrorText(error)
                               : std::string("the line was written only in part (the disk full, or the "
                                             "file at its size limit)"));
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
