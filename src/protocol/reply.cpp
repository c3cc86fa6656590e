#include "protocol/reply.h"

#include <cstdarg>
#include <cstdio>
#include <utility>

#include "protocol/packet.h"

namespace {

constexpr int kNumberText = 35;  // formatted numbers are cut to 34 characters
constexpr int kVarParamsText = 2048;

// Seconds since the epoch of a local date and time; `fallback` (the same in UTC) when the system
// cannot tell.
time_t LocalTime(int year, int month, int day, int hour, int minute, int second, time_t fallback) {
    tm fields{};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    fields.tm_isdst = -1;
    time_t result = mktime(&fields);
    return result == static_cast<time_t>(-1) ? fallback : result;
}

// The local date of `time` in `local` when it lies in the years 1 to 9999.
bool LocalWireDate(time_t time, tm& local) {
    if (localtime_r(&time, &local) == nullptr) return false;
    const long long year = static_cast<long long>(local.tm_year) + 1900;
    return year >= 1 && year <= 9999;
}

}  // namespace

time_t ClampToWireTime(time_t time) {
    tm local{};
    if (LocalWireDate(time, local)) return time;
    constexpr time_t kFirstUtc = -62135596800;  // 0001-01-01 00:00:00 UTC
    constexpr time_t kLastUtc = 253402300799;   // 9999-12-31 23:59:59 UTC
    // Far from the range, localtime_r fails; near it, the local year tells the side.
    const bool after = localtime_r(&time, &local) != nullptr ? local.tm_year > 0 : time > 0;
    return after ? LocalTime(9999, 12, 31, 23, 59, 59, kLastUtc)
                 : LocalTime(1, 1, 1, 0, 0, 0, kFirstUtc);
}

QDXReply& QDXReply::operator=(const String& text) {
    text_ = text;
    return *this;
}

QDXReply& QDXReply::operator=(const char* text) {
    text_ = text;
    return *this;
}

void QDXReply::InitPacket(const char* name, const String& key) {
    text_ = String();
    if (name != nullptr) {
        text_ += name;
        text_ += '\n';
    }
    sessionKey_ = key;
    prepared_.reset();
    afterSending_ = nullptr;
    failureNote_ = String();
}

void QDXReply::InitPacket(const char* name, const String& key,
                          std::shared_ptr<const PacketKey> prepared) {
    InitPacket(name, key);
    prepared_ = std::move(prepared);
}

String& QDXReply::SetResult(const char* code) {
    text_ = String();
    if (code != nullptr) {
        text_ += code;
        text_ += '\n';
    }
    return text_;
}

void QDXReply::CommandSeparatorCheck() {
    int n = text_.Length();
    if (n > 0 && text_[n] != '\n') text_ += '\n';
}

void QDXReply::AddLine(const char* data, int count) {
    CommandSeparatorCheck();
    text_.AddData(data, count);
    text_ += '\n';
}

void QDXReply::AddBoolParam(int value) {
    AddLine(value ? "1" : "0", 1);
}

void QDXReply::AddIntParam(int value) {
    char text[kNumberText];
    int n = std::snprintf(text, sizeof text, "%d", value);
    AddLine(text, n);
}

void QDXReply::AddIntParam(double value) {
    char text[kNumberText];
    int n = std::snprintf(text, sizeof text, "%6.0f", value);
    AddLine(text, n < 0 ? 0 : (n < kNumberText ? n : kNumberText - 1));
}

void QDXReply::AddRealParam(double value) {
    char text[kNumberText];
    int n = std::snprintf(text, sizeof text, "%6.4f", value);
    AddLine(text, n < 0 ? 0 : (n < kNumberText ? n : kNumberText - 1));
}

void QDXReply::AddTimeParam(const tm& time) {
    char text[kNumberText];
    int n = std::snprintf(text, sizeof text, "%2.2d%2.2d%4.4d%2.2d%2.2d%2.2d", time.tm_mday,
                          time.tm_mon, time.tm_year, time.tm_hour, time.tm_min, time.tm_sec);
    AddLine(text, n < 0 ? 0 : (n < kNumberText ? n : kNumberText - 1));
}

void QDXReply::AddTimeParam(const time_t& time) {
    tm local{};
    if (!LocalWireDate(time, local)) {
        const time_t clamped = ClampToWireTime(time);
        localtime_r(&clamped, &local);
    }
    // From the C library's offsets to the wire convention.
    local.tm_mon += 1;
    local.tm_year += 1900;
    AddTimeParam(local);
}

void QDXReply::AddStringParam(const String& text, int encode) {
    if (encode) {
        String escaped = qdxEncodeStrings(text);
        AddLine(escaped.Data(), escaped.Length());
    } else {
        AddLine(text.Data(), text.Length());
    }
}

void QDXReply::AddStringParam(const char* text, int encode) {
    if (text == nullptr) text = "";
    if (encode) {
        String escaped = qdxEncodeStrings(text, 0);
        AddLine(escaped.Data(), escaped.Length());
    } else {
        AddLine(text, -1);
    }
}

void QDXReply::AddVarParams(const char* format, ...) {
    char text[kVarParamsText];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0 || n > kVarParamsText) return;
    AddLine(text, n < kVarParamsText ? n : kVarParamsText - 1);
}

void QDXReply::FinalizePacket() {
    CommandSeparatorCheck();
    text_ += '\r';
    text_ = prepared_ != nullptr ? prepared_->Encode(text_, SIZELEN_PACKET)
                                 : EncodeData(text_, sessionKey_, SIZELEN_PACKET);
}
