#include "handlers/textlog_scan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <memory>
#include <vector>

#include "fileutils/file_facts.h"
#include "fileutils/paths.h"

namespace {

bool IsLineEnd(char c) {
    return c == '\n' || c == '\r';
}

// One pass over the lines of a file. The buffer holds file bytes [base_, base_ + length_); the
// bytes between result.position and base_ + scan_ are all line ends, consumed by the next line.
// When every filter can only match lines holding one of its needles, the pass looks for the next
// needle in the whole buffer and steps over the complete lines before it without matching them.
class LineScanner {
public:
    LineScanner(int fd, int64_t end, std::span<LogLineFilter* const> filters, bool scanToEnd,
                const LogScanLimits& limits, LogScanResult& result);
    void Run();

private:
    bool Refill();
    ssize_t Read(char* into, size_t most);
    bool LongLine();
    bool TakeLine(size_t contentStart, size_t contentEnd, size_t lineEnd);
    void StepOverCompleteLines(size_t limit);
    size_t NextLineEnd(size_t from);
    size_t NextCandidate(size_t from);
    size_t Cached(ptrdiff_t& cache, size_t from, char byte);
    void ForgetCaches();

    int fd_;
    int64_t end_;
    std::span<LogLineFilter* const> filters_;
    bool scanToEnd_;
    size_t maxLine_;
    size_t block_;
    LogScanResult& result_;

    bool lower_ = false;
    bool gated_ = true;
    std::vector<const TextNeedle*> needles_;
    std::vector<ptrdiff_t> nextHit_;  // per needle: next occurrence, length_ for none, -1 unknown
    ptrdiff_t nextLF_ = -1;
    ptrdiff_t nextCR_ = -1;

    std::unique_ptr<char[]> raw_;
    std::unique_ptr<char[]> low_;
    size_t length_ = 0;
    size_t scan_ = 0;
    int64_t base_;
    int64_t readOffset_;  // file offset of the next byte read
};

LineScanner::LineScanner(int fd, int64_t end, std::span<LogLineFilter* const> filters,
                         bool scanToEnd, const LogScanLimits& limits, LogScanResult& result)
    : fd_(fd),
      end_(end),
      filters_(filters),
      scanToEnd_(scanToEnd),
      maxLine_(std::max<size_t>(limits.maxLineBytes, 1)),
      block_(std::max<size_t>(limits.readBlock, 1)),
      result_(result),
      base_(result.position),
      readOffset_(result.position) {
    for (LogLineFilter* filter : filters_) {
        lower_ |= filter->NeedsLowerCase();
        gated_ &= !filter->MatchesLinesWithoutNeedles();
        for (const TextNeedle* needle : filter->Needles()) needles_.push_back(needle);
    }
    nextHit_.assign(needles_.size(), -1);
    // Pages of the buffers are only touched as far as lines need them.
    raw_.reset(new char[maxLine_ + block_]);
    if (lower_) low_.reset(new char[maxLine_ + block_]);
}

void LineScanner::Run() {
    if (!Refill()) return;
    for (;;) {
        if (gated_) {
            size_t candidate = NextCandidate(scan_);
            StepOverCompleteLines(candidate);
            if (candidate == length_) {
                if (!Refill()) return;
                continue;
            }
        }
        while (scan_ < length_ && IsLineEnd(raw_[scan_])) scan_++;
        size_t lineEnd = scan_ < length_ ? NextLineEnd(scan_) : length_;
        if (lineEnd == length_) {
            if (!Refill()) return;
            continue;
        }
        if (TakeLine(scan_, lineEnd, lineEnd)) return;
    }
}

ssize_t LineScanner::Read(char* into, size_t most) {
    if (readOffset_ >= end_) return 0;
    size_t want = static_cast<size_t>(std::min<int64_t>(end_ - readOffset_, most));
    ssize_t n;
    do {
        n = read(fd_, into, want);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return 0;
    readOffset_ += n;
    if (lower_) LowerAscii(into, low_.get() + (into - raw_.get()), static_cast<size_t>(n));
    return n;
}

// Keeps the unfinished line (without the line ends before it, which the position accounts for)
// and reads the next block behind it. False when the pass is over.
bool LineScanner::Refill() {
    while (scan_ < length_ && IsLineEnd(raw_[scan_])) scan_++;
    size_t keep = length_ - scan_;
    if (keep >= maxLine_) return LongLine();
    std::memmove(raw_.get(), raw_.get() + scan_, keep);
    if (lower_) std::memmove(low_.get(), low_.get() + scan_, keep);
    base_ += static_cast<int64_t>(scan_);
    scan_ = 0;
    length_ = keep;
    ForgetCaches();
    ssize_t n = Read(raw_.get() + length_, block_);
    if (n <= 0) return false;
    length_ += static_cast<size_t>(n);
    return true;
}

// The unfinished line at scan_ has reached maxLine_ bytes: keep those as its head, read on
// without keeping anything until the line ends, then match the head.
bool LineScanner::LongLine() {
    std::memmove(raw_.get(), raw_.get() + scan_, maxLine_);
    if (lower_) std::memmove(low_.get(), low_.get() + scan_, maxLine_);
    ForgetCaches();
    for (;;) {
        char* block = raw_.get() + maxLine_;
        int64_t blockOffset = readOffset_;
        ssize_t n = Read(block, block_);
        if (n <= 0) return false;  // the line is unfinished: the next check reads it again
        size_t count = static_cast<size_t>(n);
        const char* lf = static_cast<const char*>(std::memchr(block, '\n', count));
        const char* cr = static_cast<const char*>(std::memchr(block, '\r', lf ? lf - block : n));
        const char* stop = cr != nullptr ? cr : lf;
        if (stop == nullptr) continue;
        length_ = maxLine_ + count;
        size_t lineEnd = maxLine_ + static_cast<size_t>(stop - block);
        base_ = blockOffset - static_cast<int64_t>(maxLine_);
        return !TakeLine(0, maxLine_, lineEnd);
    }
}

// Consumes the line whose bytes are [contentStart, contentEnd) and whose line end is at lineEnd.
// True when the pass stops here.
bool LineScanner::TakeLine(size_t contentStart, size_t contentEnd, size_t lineEnd) {
    size_t length = std::min(contentEnd - contentStart, maxLine_);
    LineView line{raw_.get() + contentStart, lower_ ? low_.get() + contentStart : nullptr,
                  static_cast<int>(length)};
    int64_t before = result_.position;
    result_.position = base_ + static_cast<int64_t>(lineEnd) + 1;
    scan_ = lineEnd + 1;
    for (size_t i = 0; i < filters_.size(); i++) {
        int found = filters_[i]->Match(line);
        if (found == 0) continue;
        result_.matchValue = before + found;
        result_.filter = static_cast<int>(i);
        result_.line.CopyData(line.raw, line.length);
        return !scanToEnd_;
    }
    return false;
}

// Consumes, without matching them, the complete lines that end before `limit`.
void LineScanner::StepOverCompleteLines(size_t limit) {
    if (limit <= scan_) return;
    const char* from = raw_.get() + scan_;
    size_t span = limit - scan_;
    const char* last = static_cast<const char*>(memrchr(from, '\n', span));
    if (Cached(nextCR_, scan_, '\r') < limit) {  // skipped at once in a log without CR
        const char* cr = static_cast<const char*>(memrchr(from, '\r', span));
        if (cr != nullptr && (last == nullptr || cr > last)) last = cr;
    }
    if (last == nullptr) return;
    // The last non-empty line ends at the first line end of the final run of line ends.
    size_t runStart = static_cast<size_t>(last - raw_.get());
    while (runStart > scan_ && IsLineEnd(raw_[runStart - 1])) runStart--;
    if (runStart > scan_) result_.position = base_ + static_cast<int64_t>(runStart) + 1;
    scan_ = static_cast<size_t>(last - raw_.get()) + 1;
}

size_t LineScanner::Cached(ptrdiff_t& cache, size_t from, char byte) {
    if (cache < static_cast<ptrdiff_t>(from)) {
        const void* hit = std::memchr(raw_.get() + from, byte, length_ - from);
        cache = hit ? static_cast<const char*>(hit) - raw_.get() : static_cast<ptrdiff_t>(length_);
    }
    return static_cast<size_t>(cache);
}

size_t LineScanner::NextLineEnd(size_t from) {
    return std::min(Cached(nextLF_, from, '\n'), Cached(nextCR_, from, '\r'));
}

// Start of the first needle occurrence at or after `from`, length_ when there is none.
size_t LineScanner::NextCandidate(size_t from) {
    size_t best = length_;
    for (size_t i = 0; i < needles_.size(); i++) {
        ptrdiff_t& hit = nextHit_[i];
        if (hit < static_cast<ptrdiff_t>(from)) {
            const TextNeedle& needle = *needles_[i];
            const char* hay = needle.IgnoresCase() ? low_.get() : raw_.get();
            const std::string& bytes = needle.Bytes();
            const void* found = memmem(hay + from, length_ - from, bytes.data(), bytes.size());
            hit = found ? static_cast<const char*>(found) - hay : static_cast<ptrdiff_t>(length_);
        }
        best = std::min(best, static_cast<size_t>(hit));
    }
    return best;
}

void LineScanner::ForgetCaches() {
    nextLF_ = nextCR_ = -1;
    std::fill(nextHit_.begin(), nextHit_.end(), -1);
}

// Opens the log for reading: three attempts a second apart. Only a regular file will do, so a
// name swapped for a pipe cannot block the session.
int OpenLog(const char* path) {
    for (int attempt = 1;; attempt++) {
        int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        struct stat st;
        if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) return fd;
        if (fd >= 0) close(fd);
        if (attempt == 3) return -1;
        sleep(1);
    }
}

// The common part of both checks; `filter` gets the index of the filter that matched.
double CheckFile(const char* path, double& position, double& lastSize, double& lastTime,
                 std::span<LogLineFilter* const> filters, int scanToEnd, int& filter,
                 String& matchedLine, String& message, double& fileSize) {
    int64_t size = FileSize(path);
    fileSize = static_cast<double>(size);
    matchedLine = "";
    if (!FileExists(path)) {
        message = "File \"";
        message += ExtractFileName(String(path));
        message += "\" not found";
        return -1;
    }
    message = "";
    double age = static_cast<double>(FileAge(path));
    if (lastSize != 0 && lastSize == fileSize && lastTime != 0 && lastTime == age) return 0;

    int fd = OpenLog(path);
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
        // Bytes written after the size was taken are left for the next check.
        ScanLogLines(fd, size, filters, scanToEnd != 0, LogScanLimits(), scan);
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

void ScanLogLines(int fd, int64_t end, std::span<LogLineFilter* const> filters, bool scanToEnd,
                  const LogScanLimits& limits, LogScanResult& result) {
    LineScanner(fd, end, filters, scanToEnd, limits, result).Run();
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
