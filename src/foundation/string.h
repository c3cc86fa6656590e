// String, the agent's own byte string, and TStrList, a list of String copies, with the small text
// helpers every module uses. Positions inside a String are 1-based (0 means "not found"); positions
// in a TStrList are 0-based. Bytes are bytes: letters are ASCII only and there is no locale.
#pragma once

#include <cstdint>

// A byte string with an explicit length and an owned buffer that grows in steps of 128 bytes.
// The content may hold zero bytes and is zero-terminated only after SetZero(). Value semantics:
// every String owns its buffer alone.
class String {
public:
    // String(0) is the empty string without buffer; String(n > 0) reserves exactly n bytes and
    // caps the content at n (used by the concatenation operators).
    explicit String(int reserve = 0);
    String(const char* text);  // NOLINT: implicit on purpose, texts convert freely
    String(const char* data, int count);
    String(const String& other);
    String(String&& other) noexcept;
    ~String();

    String& operator=(const char* text);
    String& operator=(const String& other);
    String& operator=(String&& other) noexcept;

    // Replaces the content with count bytes at data (count -1: up to data's terminating zero).
    // A null data or a count of 0 releases the buffer. Returns the new length.
    int CopyData(const char* data, int count);
    // Appends count bytes at data (count -1: up to the terminating zero). Returns the new length.
    int AddData(const char* data, int count);
    void AddChar(char ch);

    bool operator==(const String& other) const;
    bool operator==(const char* text) const;
    bool operator!=(const String& other) const { return !(*this == other); }
    bool operator!=(const char* text) const { return !(*this == text); }

    String& operator+=(char ch);
    String& operator+=(const char* text);
    String& operator+=(const String& other);
    String operator+(const String& other) const;
    String operator+(const char* text) const;
    String operator+(char ch) const;

    int Length() const { return length_; }
    int Capacity() const { return capacity_; }
    // The buffer, or null when there is none. Zero-terminated only after SetZero().
    const char* Data() const { return buffer_; }
    char* Data() { return buffer_; }
    // Byte at 1-based position i; unchecked, callers keep 1 <= i <= Length().
    char operator[](int i) const { return buffer_[i - 1]; }

    // Zero-fills everything behind the content so Data() is a valid C string.
    String& SetZero();
    // Sets the length to n and resizes the buffer for it (bytes gained are zero; 0 releases it).
    void SetLength(int n);
    String& LowerCase();
    void Delete(int index, int count);
    // Strips leading and trailing bytes up to 0x20 (control bytes and the space); bytes 0x80 and
    // above stay, so names in UTF-8 or Latin-1 keep their first and last characters.
    String& Trim();
    String& RemoveRepeats(char ch);

    int Pos(char ch) const;
    int Pos(const char* data, int count) const;
    int Pos(const String& what) const { return Pos(what.Data(), what.Length()); }
    int Search(String what, int caseSensitive, int wholeWord) const;
    String Copy(int index, int count) const;
    // Copies the content into dest[size] as a C string, cut to size - 1 bytes (size -1: no cut).
    // A null dest, a size of 0 and a size below -1 write nothing.
    char* StrCpy(char* dest, int size) const;
    // The n-th (1-based) piece between single sep bytes; empty pieces are kept.
    String GetWord(int n, char sep) const;
    String ReplaceAll(const char* what, const char* with, int caseSensitive) const;

private:
    void AllocMem(int n);
    void Release();

    int32_t length_ = 0;
    int32_t capacity_ = 0;
    char* buffer_ = nullptr;
    int32_t fixed_ = 0;
};

// An ordered list of String copies, items numbered from 0. Arrays grow in steps of 128 entries.
class TStrList {
public:
    TStrList() = default;
    TStrList(const TStrList&) = delete;
    TStrList& operator=(const TStrList&) = delete;
    ~TStrList() { Clear(); }

    void Add(const String& s);
    void Delete(int i);
    void DeleteLast() { Delete(count_ - 1); }
    void Clear();
    int Count() const { return count_; }
    int Capacity() const { return capacity_; }
    String operator[](int i) const;

private:
    void AllocMem(int n);

    int32_t count_ = 0;
    int32_t capacity_ = 0;
    int32_t* lengths_ = nullptr;
    char** items_ = nullptr;
};

char UpCase(char c);
char LoCase(char c);
char* strupper(char* s);
char* strlower(char* s);
char* strupper(char* s, int n);
char* strlower(char* s, int n);
// True when every byte is '-' or a digit, in any order; the empty text counts as decimal.
bool isdecimalnum(const char* s);
// True when the first n bytes are all digits (no sign); true for n = 0.
bool isdecimalnum(const char* s, int n);
// 1-based position of needle (pn bytes) inside hay (hn bytes), 0 when absent; memposi ignores
// ASCII case.
int mempos(const char* hay, int hn, const char* needle, int pn);
int memposi(const char* hay, int hn, const char* needle, int pn);

// The line-break escape: CR travels as "%0D" and LF as "%0A"; nothing else (not even '%') is
// escaped. A count of 0 means up to the terminating zero.
String qdxEncodeStrings(const char* data, int count);
String qdxEncodeStrings(const String& s);
String qdxDecodeStrings(const char* data, int count);
String qdxDecodeStrings(const String& s);
