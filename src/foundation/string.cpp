#include "foundation/string.h"

#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "foundation/check.h"

namespace {

constexpr int kGrowStep = 128;

// Capacity for n bytes: the next step above n, so there is always a spare byte.
int GrowthFor(int n) {
    QDX_CHECK(n >= 0 && n <= INT_MAX - kGrowStep, "size within range", "string");
    return (n / kGrowStep + 1) * kGrowStep;
}

void* ReallocOrDie(void* p, size_t n) {
    void* q = std::realloc(p, n);
    if (q == nullptr) {
        std::fputs("out of memory\n", stderr);
        std::abort();
    }
    return q;
}

bool IsAsciiAlnum(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Control bytes and the space. Bytes 0x80 and above belong to names in UTF-8 or Latin-1 and stay.
bool IsTrimmable(char c) {
    return static_cast<unsigned char>(c) <= 32;
}

}  // namespace

// ---- growth ----------------------------------------------------------------------------------

void String::Release() {
    std::free(buffer_);
    buffer_ = nullptr;
    capacity_ = 0;
}

void String::AllocMem(int n) {
    if (n <= 0) {
        Release();
        fixed_ = 0;
        return;
    }
    int newCapacity = fixed_ ? n : GrowthFor(n);
    buffer_ = static_cast<char*>(ReallocOrDie(buffer_, static_cast<size_t>(newCapacity)));
    if (newCapacity > capacity_)
        std::memset(buffer_ + capacity_, 0, static_cast<size_t>(newCapacity - capacity_));
    capacity_ = newCapacity;
}

// ---- construction and assignment -------------------------------------------------------------

String::String(int reserve) {
    if (reserve > 0) {
        fixed_ = 1;
        AllocMem(reserve);
    }
}

String::String(const char* text) {
    CopyData(text, -1);
}

String::String(const char* data, int count) {
    if (count > 0) CopyData(data, count);
}

String::String(const String& other) {
    CopyData(other.buffer_, other.length_);
}

String::String(String&& other) noexcept
    : length_(std::exchange(other.length_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      buffer_(std::exchange(other.buffer_, nullptr)),
      fixed_(std::exchange(other.fixed_, 0)) {}

String::~String() {
    std::free(buffer_);
}

String& String::operator=(const char* text) {
    CopyData(text, -1);
    return *this;
}

String& String::operator=(const String& other) {
    if (this != &other) CopyData(other.buffer_, other.length_);
    return *this;
}

String& String::operator=(String&& other) noexcept {
    if (this != &other) {
        std::free(buffer_);
        length_ = std::exchange(other.length_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
        buffer_ = std::exchange(other.buffer_, nullptr);
        fixed_ = std::exchange(other.fixed_, 0);
    }
    return *this;
}

int String::CopyData(const char* data, int count) {
    if (data != nullptr && data == buffer_) return length_;
    if (data == nullptr || count == 0) {
        Release();
        length_ = 0;
        return 0;
    }
    if (count < 0) count = static_cast<int>(std::strlen(data));
    // A source inside our own buffer never needs growth, so memmove keeps it valid.
    if (capacity_ < count) {
        if (fixed_)
            count = capacity_;
        else
            AllocMem(count);
    }
    if (count > 0) std::memmove(buffer_, data, static_cast<size_t>(count));
    length_ = count;
    return length_;
}

int String::AddData(const char* data, int count) {
    if (data == nullptr) return length_;
    if (count < 0) count = static_cast<int>(std::strlen(data));
    if (count == 0) return length_;
    // Appending a piece of ourselves: remember where it is, the buffer may move.
    bool inside = buffer_ != nullptr && data >= buffer_ && data < buffer_ + capacity_;
    std::ptrdiff_t offset = inside ? data - buffer_ : 0;
    QDX_CHECK(count <= INT_MAX - kGrowStep - length_, "size within range", "string");
    if (length_ + count > capacity_) {
        if (fixed_)
            count = capacity_ - length_;
        else
            AllocMem(length_ + count);
    }
    if (inside) data = buffer_ + offset;
    if (count > 0) std::memmove(buffer_ + length_, data, static_cast<size_t>(count));
    length_ += count;
    return length_;
}

void String::AddChar(char ch) {
    if (length_ + 1 > capacity_) {
        if (fixed_) return;
        AllocMem(length_ + 1);
    }
    buffer_[length_++] = ch;
}

// ---- comparison and concatenation ------------------------------------------------------------

bool String::operator==(const String& other) const {
    return length_ == other.length_ &&
           (length_ == 0 || std::memcmp(buffer_, other.buffer_, static_cast<size_t>(length_)) == 0);
}

bool String::operator==(const char* text) const {
    if (text == nullptr) return length_ == 0;
    size_t n = std::strlen(text);
    return n == static_cast<size_t>(length_) && (n == 0 || std::memcmp(buffer_, text, n) == 0);
}

String& String::operator+=(char ch) {
    AddChar(ch);
    return *this;
}

String& String::operator+=(const char* text) {
    AddData(text, -1);
    return *this;
}

String& String::operator+=(const String& other) {
    AddData(other.buffer_, other.length_);
    return *this;
}

String String::operator+(const String& other) const {
    String result(length_ + other.length_);
    result.AddData(buffer_, length_);
    result.AddData(other.buffer_, other.length_);
    result.fixed_ = 0;
    return result;
}

String String::operator+(const char* text) const {
    if (text == nullptr) return *this;
    int n = static_cast<int>(std::strlen(text));
    String result(length_ + n);
    result.AddData(buffer_, length_);
    result.AddData(text, n);
    result.fixed_ = 0;
    return result;
}

String String::operator+(char ch) const {
    String result(length_ + 1);
    result.AddData(buffer_, length_);
    result.AddChar(ch);
    result.fixed_ = 0;
    return result;
}

// ---- editing ---------------------------------------------------------------------------------

String& String::SetZero() {
    if (length_ == capacity_) AllocMem(capacity_ + kGrowStep);
    std::memset(buffer_ + length_, 0, static_cast<size_t>(capacity_ - length_));
    return *this;
}

void String::SetLength(int n) {
    if (n < 0) n = 0;
    AllocMem(n);
    length_ = n;
}

String& String::LowerCase() {
    strlower(buffer_, length_);
    return *this;
}

void String::Delete(int index, int count) {
    if (count < 1 || index < 1 || index > length_) return;
    if (index + count - 1 > length_) count = length_ - index + 1;
    std::memmove(buffer_ + index - 1, buffer_ + index - 1 + count,
                 static_cast<size_t>(length_ - (index - 1 + count)));
    length_ -= count;
}

String& String::Trim() {
    int start = 0;
    while (start < length_ && IsTrimmable(buffer_[start])) start++;
    if (start == length_) {
        *this = "";
        return *this;
    }
    if (start > 0) {
        std::memmove(buffer_, buffer_ + start, static_cast<size_t>(length_ - start));
        length_ -= start;
    }
    while (length_ > 0 && IsTrimmable(buffer_[length_ - 1])) length_--;
    return *this;
}

String& String::RemoveRepeats(char ch) {
    int out = 0;
    for (int in = 0; in < length_; in++) {
        if (buffer_[in] == ch && out > 0 && buffer_[out - 1] == ch) continue;
        buffer_[out++] = buffer_[in];
    }
    length_ = out;
    return *this;
}

// ---- searching and extraction ----------------------------------------------------------------

int String::Pos(char ch) const {
    if (length_ == 0) return 0;
    const void* hit = std::memchr(buffer_, static_cast<unsigned char>(ch), length_);
    return hit ? static_cast<int>(static_cast<const char*>(hit) - buffer_) + 1 : 0;
}

int String::Pos(const char* data, int count) const {
    if (data == nullptr || count == 0 || length_ == 0 || buffer_ == nullptr) return 0;
    if (count < 0) count = static_cast<int>(std::strlen(data));
    return mempos(buffer_, length_, data, count);
}

int String::Search(String what, int caseSensitive, int wholeWord) const {
    String text(*this);
    if (!caseSensitive) {
        text.LowerCase();
        what.LowerCase();
    }
    int start = 1;
    while (start <= length_) {
        int found =
            mempos(text.buffer_ + start - 1, length_ - start + 1, what.buffer_, what.length_);
        if (found == 0) return 0;
        int p = start + found - 1;
        if (!wholeWord) return p;
        int after = p + what.length_;  // 1-based position just behind the occurrence
        bool wordStart = p == 1 || !IsAsciiAlnum(static_cast<unsigned char>(text[p - 1]));
        bool wordEnd = after > length_ || !IsAsciiAlnum(static_cast<unsigned char>(text[after]));
        if (wordStart && wordEnd) return p;
        start = p + 1;
    }
    return 0;
}

String String::Copy(int index, int count) const {
    if (index < 1 || index > length_) return String();
    if (index + count - 1 > length_) count = length_ - index + 1;
    if (count < 1) return String();
    return String(buffer_ + index - 1, count);
}

char* String::StrCpy(char* dest, int size) const {
    // A size below -1 names no array at all: nothing is written, as for 0.
    if (dest == nullptr || size == 0 || size < -1) return dest;
    int n = (size == -1 || length_ < size) ? length_ : size - 1;
    if (n > 0) std::memcpy(dest, buffer_, static_cast<size_t>(n));
    dest[n] = '\0';
    return dest;
}

String String::GetWord(int n, char sep) const {
    int i = 0;
    for (int passed = 0; passed < n - 1; i++) {
        if (i >= length_) return String();
        if (buffer_[i] == sep) passed++;
    }
    if (i >= length_) return String();
    int end = i;
    while (end < length_ && buffer_[end] != sep) end++;
    return String(buffer_ + i, end - i);
}

String String::ReplaceAll(const char* what, const char* with, int caseSensitive) const {
    int whatLength = what ? static_cast<int>(std::strlen(what)) : 0;
    if (whatLength == 0) return *this;
    auto find = caseSensitive ? mempos : memposi;
    String result;
    int scan = 0;
    while (scan < length_) {
        int found = find(buffer_ + scan, length_ - scan, what, whatLength);
        if (found == 0) break;
        result.AddData(buffer_ + scan, found - 1);
        result.AddData(with, -1);
        scan += found - 1 + whatLength;
    }
    result.AddData(buffer_ + scan, length_ - scan);
    return result;
}

// ---- TStrList --------------------------------------------------------------------------------

void TStrList::AllocMem(int n) {
    if (n == 0) {
        Clear();
        return;
    }
    if (capacity_ >= n) return;
    int newCapacity = GrowthFor(n);
    lengths_ = static_cast<int32_t*>(
        ReallocOrDie(lengths_, sizeof(int32_t) * static_cast<size_t>(newCapacity)));
    items_ =
        static_cast<char**>(ReallocOrDie(items_, sizeof(char*) * static_cast<size_t>(newCapacity)));
    capacity_ = newCapacity;
}

void TStrList::Add(const String& s) {
    if (count_ >= capacity_) AllocMem(count_ + 1);
    int n = s.Length();
    lengths_[count_] = n;
    items_[count_] = nullptr;
    if (n > 0) {
        items_[count_] = static_cast<char*>(ReallocOrDie(nullptr, static_cast<size_t>(n)));
        std::memcpy(items_[count_], s.Data(), static_cast<size_t>(n));
    }
    count_++;
}

void TStrList::Delete(int i) {
    QDX_CHECK(i >= 0 && i < count_, "Delete", "string");
    std::free(items_[i]);
    std::memmove(items_ + i, items_ + i + 1, sizeof(char*) * static_cast<size_t>(count_ - i - 1));
    std::memmove(lengths_ + i, lengths_ + i + 1,
                 sizeof(int32_t) * static_cast<size_t>(count_ - i - 1));
    count_--;
}

void TStrList::Clear() {
    for (int i = 0; i < count_; i++) std::free(items_[i]);
    std::free(items_);
    std::free(lengths_);
    items_ = nullptr;
    lengths_ = nullptr;
    count_ = 0;
    capacity_ = 0;
}

String TStrList::operator[](int i) const {
    QDX_CHECK(i >= 0 && i < count_, "operator[]", "string");
    return String(items_[i], lengths_[i]);
}

// ---- free functions --------------------------------------------------------------------------

char UpCase(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}
char LoCase(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

char* strupper(char* s) {
    for (char* p = s; p && *p; p++) *p = UpCase(*p);
    return s;
}

char* strlower(char* s) {
    for (char* p = s; p && *p; p++) *p = LoCase(*p);
    return s;
}

char* strupper(char* s, int n) {
    for (int i = 0; s && i < n; i++) s[i] = UpCase(s[i]);
    return s;
}

char* strlower(char* s, int n) {
    for (int i = 0; s && i < n; i++) s[i] = LoCase(s[i]);
    return s;
}

bool isdecimalnum(const char* s) {
    if (s == nullptr) return true;
    for (; *s; s++)
        if (*s != '-' && (*s < '0' || *s > '9')) return false;
    return true;
}

bool isdecimalnum(const char* s, int n) {
    for (int i = 0; i < n; i++)
        if (s[i] < '0' || s[i] > '9') return false;
    return true;
}

int mempos(const char* hay, int hn, const char* needle, int pn) {
    if (hay == nullptr || needle == nullptr || hn <= 0 || pn <= 0 || pn > hn) return 0;
    const char* last = hay + (hn - pn);
    for (const char* p = hay; p <= last;) {
        p = static_cast<const char*>(std::memchr(p, static_cast<unsigned char>(needle[0]),
                                                 static_cast<size_t>(last - p + 1)));
        if (p == nullptr) return 0;
        if (std::memcmp(p, needle, static_cast<size_t>(pn)) == 0)
            return static_cast<int>(p - hay) + 1;
        p++;
    }
    return 0;
}

int memposi(const char* hay, int hn, const char* needle, int pn) {
    if (hay == nullptr || needle == nullptr || hn <= 0 || pn <= 0 || pn > hn) return 0;
    for (int start = 0; start <= hn - pn; start++) {
        int k = 0;
        while (k < pn && LoCase(hay[start + k]) == LoCase(needle[k])) k++;
        if (k == pn) return start + 1;
    }
    return 0;
}

namespace {

String EncodeBytes(const char* data, int count) {
    String out;
    for (int i = 0; i < count; i++) {
        if (data[i] == '\r')
            out.AddData("%0D", 3);
        else if (data[i] == '\n')
            out.AddData("%0A", 3);
        else
            out.AddChar(data[i]);
    }
    return out;
}

String DecodeBytes(const char* data, int count) {
    String out;
    for (int i = 0; i < count; i++) {
        if (data[i] == '%' && i + 2 < count && data[i + 1] == '0' &&
            (data[i + 2] == 'D' || data[i + 2] == 'A')) {
            out.AddChar(data[i + 2] == 'D' ? '\r' : '\n');
            i += 2;
        } else {
            out.AddChar(data[i]);
        }
    }
    return out;
}

int TextCount(const char* data, int count) {
    return count == 0 ? static_cast<int>(std::strlen(data)) : count;
}

}  // namespace

String qdxEncodeStrings(const char* data, int count) {
    if (data == nullptr) return String();
    return EncodeBytes(data, TextCount(data, count));
}

String qdxEncodeStrings(const String& s) {
    return EncodeBytes(s.Data(), s.Length());
}

String qdxDecodeStrings(const char* data, int count) {
    if (data == nullptr) return String();
    return DecodeBytes(data, TextCount(data, count));
}

String qdxDecodeStrings(const String& s) {
    return DecodeBytes(s.Data(), s.Length());
}
