#include "protocol/reply.h"

#include <cstdarg>
#include <cstdio>
#include <utility>

#include "protocol/packet.h"

namespace {

constexpr int kNumberText = 35;  // formatted numbers are cut to 34 characters
constexpr int kVarParamsText = 2048;

}  // namespace

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
    localtime_r(&time, &local);
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
