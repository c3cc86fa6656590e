// The reply under construction: a result-code line, optional free text and one value per line,
// finalised into the encrypted reply packet under the request's session key.
#pragma once

#include <ctime>
#include <memory>

#include "foundation/string.h"

class PacketKey;

// `time` when its local date lies in the years 1 to 9999, which the 14-digit form of replies can
// hold; otherwise the nearest of 01-01-0001 00:00:00 and 31-12-9999 23:59:59 local time. Whatever
// a reply derives from a time it sends (an age) is computed from this.
time_t ClampToWireTime(time_t time);

// Reply text: "ccc" LF, optional free text, values each ended by LF, then one CR (added by
// FinalizePacket). Result codes: "200" done, "300" operation failed, "301" test failed to run,
// "302" upgrade already in progress, "500" unknown or not offered, "501" wrong parameter, "502"
// end-of-transmission mark missing, "600" not allowed.
class QDXReply {
public:
    QDXReply() = default;

    // Replace the whole reply text; the session key stays.
    QDXReply& operator=(const String& text);
    QDXReply& operator=(const char* text);

    // The reply text; after FinalizePacket the packet to send.
    const String& Text() const { return text_; }

    // The text becomes name and LF (empty for a null name); key is the session key to encrypt
    // under.
    void InitPacket(const char* name, const String& key);
    // The same with `key` already prepared for the cipher (ZPRequest::SessionCipher()), which
    // FinalizePacket then uses instead of preparing the key again. `prepared` must come from `key`.
    void InitPacket(const char* name, const String& key, std::shared_ptr<const PacketKey> prepared);

    // Replaces the whole text by code and LF (empty for a null code). Returns the text so that
    // a reason can follow at once: reply.SetResult("301") += "I/O Error".
    String& SetResult(const char* code);

    // Every value is appended after CommandSeparatorCheck and followed by LF.
    void AddBoolParam(int value);  // "1" or "0"
    void AddIntParam(int value);   // "%d"
    // "%6.0f": 64-bit counts and sizes, rounded, at least 6 and at most 34 characters.
    void AddIntParam(double value);
    // Other arithmetic types would pick an overload silently (or not at all, for long): cast
    // explicitly, to int for small counts or to double for 64-bit ones.
    template <typename T>
    void AddIntParam(T) = delete;
    void AddRealParam(double value);  // "%6.4f", at most 34 characters
    // DDMMYYYYhhmmss of a time in the wire convention that qdxDecodeTime gives: tm_mon holds the
    // month 1 to 12 and tm_year the full year, not the C library's offsets.
    void AddTimeParam(const tm& time);
    // The same for a time in seconds since the epoch, taken as local time and first brought into
    // the years 1 to 9999 that the form can hold (ClampToWireTime).
    void AddTimeParam(const time_t& time);
    // The text, with LF written "%0A" and CR "%0D" when encode is non-zero.
    void AddStringParam(const String& text, int encode);
    void AddStringParam(const char* text, int encode);
    // printf-formatted text, not escaped. Text up to 2048 characters is kept, cut to 2047; a
    // longer text or a formatting error appends nothing at all (not even the line end).
    void AddVarParams(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // An action for the session to run once this reply has gone out (or its sending has failed).
    // Requests that end or replace the process are raised this way, so they never overtake their
    // own reply. InitPacket clears it.
    using SentAction = void (*)();
    void RunAfterSending(SentAction action) { afterSending_ = action; }
    SentAction AfterSending() const { return afterSending_; }

    // A line for the failure log about this request, without its line end, which the session
    // writes with the peer's address once the reply has gone out; a second note joins the first
    // after "; ". Taken as it is: text from the peer must be made safe for a log first.
    // InitPacket clears it.
    void NoteFailure(const String& text) {
        failureNote_ = failureNote_.Length() > 0 ? failureNote_ + "; " + text : text;
    }
    const String& FailureNote() const { return failureNote_; }

    // Appends LF when the text is not empty and does not end with LF.
    void CommandSeparatorCheck();
    // Ends the text (CommandSeparatorCheck, CR) and replaces it by the reply packet: its 4-byte
    // little-endian length, then the ciphertext under the session key.
    void FinalizePacket();

private:
    void AddLine(const char* data, int count);

    String text_;
    String sessionKey_;
    std::shared_ptr<const PacketKey> prepared_;
    SentAction afterSending_ = nullptr;
    String failureNote_;
};
