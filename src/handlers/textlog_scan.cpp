#include "handlers/textlog_scan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <thread>
#include <utility>

#include "fileutils/denied_paths.h"
#include "fileutils/file_facts.h"
#include "fileutils/paths.h"
#include "foundation/blocking_wait.h"

namespace {

// The common part of both checks; `filter` gets the index of the filter that matched.
double CheckFile(const char* path, double& position, double& lastSize, double& lastTime,
                 std::span<LogLineFilter* const> filters, int scanToEnd, int& filter,
                 String& matchedLine, String& message, double& fileSize) {
    int64_t size = FileSize(path);
    fileSize = static_cast<double>(size);
    matchedLine = "";
    if (size < 0 && errno == ETIMEDOUT) {
        message = "Cannot open file";  // its file system does not answer
        return -1;
    }
    if (!FileExists(path)) {
        message = "File \"";
        message += ExtractFileName(String(path));
        message += "\" not found";
        return -1;
    }
    message = "";
    double age = static_cast<double>(FileAge(path));
    if (lastSize != 0 && lastSize == fileSize && lastTime != 0 && lastTime == age) return 0;

    TFsTarget fs;
    int fd = OpenLog(path, &fs);
    if (fd < 0) {
        message = "Cannot open file";
        return -1;
    }
    double match = 0;
    if (lastSize == 0) {
        position = fileSize - 1;  // a first check only marks the end
    } else {
        if (position > fileSize) position = 0;  // truncated or replaced: start again
        int64_t start = position >= 0 ? static_cast<int64_t>(position) : -1;
        if (start < 0 || lseek(fd, start, SEEK_SET) != start) {
            message = "fseek error";
            close(fd);
            return -1;
        }
        LogScanResult scan;
        scan.position = start;
        // Bytes written after the size was taken are left for the next check. The pass is one
        // call on the log's file system, moving on with every block it reads.
        TFsCall reading;
        if (!reading.Enter(fs)) {
            message = "Cannot open file";
            close(fd);
            return -1;
        }
        ScanLogLines(fd, size, filters, scanToEnd != 0, LogScanLimits(), scan);
        reading.Leave();
        if (scan.position != start) position = static_cast<double>(scan.position);
        if (scan.matchValue != 0) {
            match = static_cast<double>(scan.matchValue);
            matchedLine = std::move(scan.line);
            filter = scan.filter;
        }
    }
    if (match == 0 || scanToEnd) {
        lastSize = fileSize;
        lastTime = age;
    }
    close(fd);
    return match;
}

}  // namespace

int OpenLog(const char* path, TFsTarget* fs) {
    for (int attempt = 0; attempt < 3; attempt++) {
        TFsCall call;
        if (!call.EnterPath(path)) return -1;  // no file system answering: no point in retrying
        int fd = open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        struct stat st;
        if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
            if (DeniedOpen(fd, call.Path(), path)) {
                close(fd);
                return -1;  // refused for good: no point in retrying
            }
            if (fs != nullptr) *fs = call.Target();
            return fd;
        }
        if (fd >= 0) close(fd);
        call.Leave();
        BlockingWait pause;  // other requests are served meanwhile
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    return -1;
}

double CheckFileForExpression(const char* path, const String& text, double& position,
                              double& lastSize, double& lastTime, int useExpression, int scanToEnd,
                              int caseSensitive, int wholeWord, String& matchedLine,
                              String& message, double& fileSize) {
    LogLineFilter filter(text, useExpression, caseSensitive, wholeWord);
    LogLineFilter* filters[] = {&filter};
    int unused = -1;
    return CheckFile(path, position, lastSize, lastTime, filters, scanToEnd, unused, matchedLine,
                     message, fileSize);
}

double CheckFileForExpression2(const char* path, double& position, double& lastSize,
                               double& lastTime, const TTextLogFilter& filter1,
                               const TTextLogFilter& filter2, int useFilter2, int scanToEnd,
                               int& whichFilter, String& matchedLine, String& message,
                               double& fileSize) {
    LogLineFilter first(filter1.Text, filter1.IsExpression == 1, filter1.CaseSensitive,
                        filter1.WholeWord);
    LogLineFilter second(filter2.Text, filter2.IsExpression == 1, filter2.CaseSensitive,
                         filter2.WholeWord);
    LogLineFilter* filters[] = {&first, &second};
    int matched = -1;
    double result =
        CheckFile(path, position, lastSize, lastTime, std::span(filters, useFilter2 ? 2 : 1),
                  scanToEnd, matched, matchedLine, message, fileSize);
    if (result > 0 && matched >= 0) whichFilter = matched == 0 ? 1 : 0;
    return result;
}
