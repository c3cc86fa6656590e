#include "handlers/textlog_lines.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fileutils/fs_guard.h"

namespace {

bool IsLineEnd(char c) {
    return c == '\n' || c == '\r';
}

// One pass over the lines of a file. The buffer holds file bytes [base_, base_ + length_); the
// bytes between result.position and base_ + scan_ are all line ends, consumed by the next line.
// When every filter can only match lines holding one of its needles, the pass looks for the next
// needle in the whole buffer and steps over the complete lines before it without matching them.
// A line that outgrows the window is searched piece by piece (StreamLongLine).
class LineScanner {
public:
    LineScanner(int fd, int64_t end, std::span<LogLineFilter* const> filters, bool scanToEnd,
                const LogScanLimits& limits, LogScanResult& result);
    void Run();

private:
    bool Refill();
    ssize_t Read(char* into, size_t most);
    bool StreamLongLine();
    void SearchPiece(size_t from, size_t end, int64_t pieceStart, bool lineEnds);
    size_t OverlapStillNeeded() const;
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
    size_t window_;
    size_t report_;
    LogScanResult& result_;

    bool lower_ = false;
    bool gated_ = true;
    std::vector<const TextNeedle*> needles_;
    std::vector<ptrdiff_t> nextHit_;  // per needle: next occurrence, length_ for none, -1 unknown
    ptrdiff_t nextLF_ = -1;
    ptrdiff_t nextCR_ = -1;

    // Long lines: every text of every filter (filter i's from searchedFrom_[i] on), their
    // progress through the current line, and the line's first report_ bytes.
    std::vector<const TextNeedle*> searched_;
    std::vector<size_t> searchedFrom_;
    std::vector<NeedleProgress> progress_;
    std::string head_;
    size_t overlap_ = 0;  // the most any searched text needs repeated

    size_t block_;
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
      window_(std::max<size_t>(limits.lineWindow, 1)),
      report_(limits.reportBytes),
      result_(result),
      base_(result.position),
      readOffset_(result.position) {
    for (LogLineFilter* filter : filters_) {
        lower_ |= filter->NeedsLowerCase();
        gated_ &= !filter->MatchesLinesWithoutNeedles();
        for (const TextNeedle* needle : filter->Needles()) needles_.push_back(needle);
        searchedFrom_.push_back(searched_.size());
        for (const TextNeedle* text : filter->SearchedTexts()) {
            searched_.push_back(text);
            if (text->CanOccurInLogLine()) overlap_ = std::max(overlap_, text->Overlap());
        }
    }
    nextHit_.assign(needles_.size(), -1);
    progress_.resize(searched_.size());
    // A piece keeps at most overlap_ bytes and reads a block behind them; blocks at least as long
    // as the longest text keep the searches' set-up cost small beside the bytes they cover.
    block_ = std::max({limits.readBlock, overlap_, size_t(1)});
    size_t capacity = std::max(window_, overlap_) + block_;
    // The buffer never holds more than the pass reads: a check of a few new lines allocates little.
    int64_t toRead = std::max<int64_t>(end_ - result.position, 1);
    if (static_cast<uint64_t>(toRead) < capacity) capacity = static_cast<size_t>(toRead);
    // Pages of the buffers are only touched as far as lines need them.
    raw_.reset(new char[capacity]);
    if (lower_) low_.reset(new char[capacity]);
    head_.reserve(report_);
    result_.heldBytes = capacity * (lower_ ? 2 : 1) + head_.capacity() +
                        progress_.capacity() * sizeof(NeedleProgress);
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
    FsProgress();  // the read came back: the file system answers
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
    if (keep >= window_) return StreamLongLine();
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

// The unfinished line at scan_ fills the window. Each piece of it is searched for every text of
// every filter; then only the bytes the texts still need are kept, and the next block is read
// behind them, until the line ends. The filters' results come from what the texts found. False
// when the pass is over: at the end of the file (the line is left for the next check) or after
// a match that stops it.
bool LineScanner::StreamLongLine() {
    size_t from = scan_;     // the piece's first byte in the buffer
    int64_t pieceStart = 0;  // its offset in the line
    size_t unseen = scan_;   // where the look for the line's end goes on
    head_.clear();
    std::fill(progress_.begin(), progress_.end(), NeedleProgress());
    size_t stop;
    for (;;) {
        stop = NextLineEnd(unseen);
        bool lineEnds = stop < length_;
        SearchPiece(from, stop, pieceStart, lineEnds);
        if (lineEnds) break;

        size_t keep = std::min(length_ - from, OverlapStillNeeded());
        size_t drop = length_ - keep;
        std::memmove(raw_.get(), raw_.get() + drop, keep);
        if (lower_) std::memmove(low_.get(), low_.get() + drop, keep);
        pieceStart += static_cast<int64_t>(drop - from);
        base_ += static_cast<int64_t>(drop);
        from = scan_ = 0;
        unseen = length_ = keep;
        ForgetCaches();
        ssize_t n = Read(raw_.get() + length_, block_);
        if (n <= 0) return false;
        length_ += static_cast<size_t>(n);
    }

    int64_t before = result_.position;
    result_.position = base_ + static_cast<int64_t>(stop) + 1;
    scan_ = stop + 1;
    for (size_t i = 0; i < filters_.size(); i++) {
        int64_t found = filters_[i]->Conclude(progress_.data() + searchedFrom_[i]);
        if (found == 0) continue;
        result_.matchValue = before + found;
        result_.filter = static_cast<int>(i);
        result_.line.CopyData(head_.data(), static_cast<int>(head_.size()));
        return scanToEnd_;
    }
    return true;
}

// Searches the line's bytes [from, end) of the buffer, which start at pieceStart in the line, and
// adds those among the first report_ to the head.
void LineScanner::SearchPiece(size_t from, size_t end, int64_t pieceStart, bool lineEnds) {
    int64_t headEnd = static_cast<int64_t>(head_.size());
    if (headEnd < static_cast<int64_t>(report_) && headEnd < pieceStart + int64_t(end - from)) {
        size_t take = std::min(report_ - head_.size(), end - from - size_t(headEnd - pieceStart));
        head_.append(raw_.get() + from + (headEnd - pieceStart), take);
    }
    for (size_t i = 0; i < searched_.size(); i++) {
        const TextNeedle& text = *searched_[i];
        if (progress_[i].found >= 0 || !text.CanOccurInLogLine()) continue;
        const char* bytes = (text.IgnoresCase() ? low_.get() : raw_.get()) + from;
        text.Advance(bytes, pieceStart, end - from, lineEnds, progress_[i]);
    }
}

size_t LineScanner::OverlapStillNeeded() const {
    size_t most = 0;
    for (size_t i = 0; i < searched_.size(); i++)
        if (progress_[i].found < 0 && searched_[i]->CanOccurInLogLine())
            most = std::max(most, searched_[i]->Overlap());
    return most;
}

// Consumes the line whose bytes are [contentStart, contentEnd) and whose line end is at lineEnd.
// True when the pass stops here.
bool LineScanner::TakeLine(size_t contentStart, size_t contentEnd, size_t lineEnd) {
    size_t length = contentEnd - contentStart;
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
        result_.line.CopyData(line.raw, static_cast<int>(std::min(length, report_)));
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

}  // namespace

void ScanLogLines(int fd, int64_t end, std::span<LogLineFilter* const> filters, bool scanToEnd,
                  const LogScanLimits& limits, LogScanResult& result) {
    LineScanner(fd, end, filters, scanToEnd, limits, result).Run();
}
