#include "protocol/reply.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <functional>
#include <limits>
#include <string>

#include "protocol/decoders.h"
#include "protocol/packet.h"

namespace {

std::string Str(const String& s) {
    return std::string(s.Data() ? s.Data() : "", s.Length());
}

const String kKey("session");

// The plaintext the server reads from a finalised reply, after checking the length field.
std::string Opened(const QDXReply& reply) {
    const String& packet = reply.Text();
    EXPECT_GE(packet.Length(), 5);
    EXPECT_EQ(DecodeLength(reinterpret_cast<const unsigned char*>(packet.Data()), 4),
              static_cast<unsigned>(packet.Length() - 4));
    return Str(DecodeData(packet.Copy(5, packet.Length() - 4), kKey));
}

TEST(Reply, ValueFormats) {
    tm christmas{};
    christmas.tm_mday = 25;
    christmas.tm_mon = 12;  // the wire convention: month 1 to 12, the full year
    christmas.tm_year = 2026;
    christmas.tm_hour = 13;
    christmas.tm_min = 45;
    christmas.tm_sec = 1;
    tm early{};
    early.tm_mday = 1;
    early.tm_mon = 1;
    early.tm_year = 5;

    struct Case {
        const char* name;
        std::function<void(QDXReply&)> add;
        const char* text;
    } cases[] = {
        {"bool 1", [](QDXReply& r) { r.AddBoolParam(1); }, "1\n"},
        {"bool 0", [](QDXReply& r) { r.AddBoolParam(0); }, "0\n"},
        {"bool -3", [](QDXReply& r) { r.AddBoolParam(-3); }, "1\n"},
        {"int", [](QDXReply& r) { r.AddIntParam(-42); }, "-42\n"},
        {"int64 small", [](QDXReply& r) { r.AddIntParam(7.0); }, "     7\n"},
        {"int64 42", [](QDXReply& r) { r.AddIntParam(42.0); }, "    42\n"},
        {"int64 large", [](QDXReply& r) { r.AddIntParam(123456789.0); }, "123456789\n"},
        {"int64 rounded", [](QDXReply& r) { r.AddIntParam(2.5e9 + 0.7); }, "2500000001\n"},
        {"int64 cut to 34", [](QDXReply& r) { r.AddIntParam(1e40); },
         "1000000000000000030378602842700366\n"},
        {"real", [](QDXReply& r) { r.AddRealParam(12.5); }, "12.5000\n"},
        {"real small", [](QDXReply& r) { r.AddRealParam(0.5); }, "0.5000\n"},
        {"real negative", [](QDXReply& r) { r.AddRealParam(-1.0 / 3); }, "-0.3333\n"},
        {"time tm", [&](QDXReply& r) { r.AddTimeParam(christmas); }, "25122026134501\n"},
        {"time tm padded", [&](QDXReply& r) { r.AddTimeParam(early); }, "01010005000000\n"},
        {"string encoded", [](QDXReply& r) { r.AddStringParam(String("a\nb\r"), 1); },
         "a%0Ab%0D\n"},
        {"string raw", [](QDXReply& r) { r.AddStringParam(String("a\nb"), 0); }, "a\nb\n"},
        {"text encoded", [](QDXReply& r) { r.AddStringParam("x\ny", 1); }, "x%0Ay\n"},
        {"text raw", [](QDXReply& r) { r.AddStringParam("x\ny", 0); }, "x\ny\n"},
        {"empty string", [](QDXReply& r) { r.AddStringParam(String(), 1); }, "\n"},
        {"null text", [](QDXReply& r) { r.AddStringParam(static_cast<const char*>(nullptr), 0); },
         "\n"},
        {"var", [](QDXReply& r) { r.AddVarParams("%s=%d", "Port", 1000); }, "Port=1000\n"},
        {"var not escaped", [](QDXReply& r) { r.AddVarParams("a\nb"); }, "a\nb\n"},
    };
    for (const Case& c : cases) {
        QDXReply reply;
        c.add(reply);
        EXPECT_EQ(Str(reply.Text()), c.text) << c.name;
    }
}

TEST(Reply, TimeFromSecondsIsLocalTime) {
    tm local{};
    local.tm_mday = 25;
    local.tm_mon = 11;
    local.tm_year = 126;
    local.tm_hour = 13;
    local.tm_min = 45;
    local.tm_sec = 1;
    local.tm_isdst = -1;
    time_t seconds = mktime(&local);
    QDXReply reply;
    reply.AddTimeParam(seconds);
    EXPECT_EQ(Str(reply.Text()), "25122026134501\n");
}

// Times outside the years 1 to 9999 are sent as the nearest that the 14 digits hold.
TEST(Reply, TimesOutsideTheFourDigitYearsAreClamped) {
    struct Case {
        time_t seconds;
        const char* text;
    } cases[] = {
        {253402300800 + 86400 * 2, "31129999235959"},  // 2 January 10000 (UTC)
        {std::numeric_limits<time_t>::max(), "31129999235959"},
        {-62135596800 - 86400 * 2, "01010001000000"},  // 30 December of year 0
        {std::numeric_limits<time_t>::min(), "01010001000000"},
    };
    for (const Case& c : cases) {
        QDXReply reply;
        reply.AddTimeParam(c.seconds);
        EXPECT_EQ(Str(reply.Text()), std::string(c.text) + "\n") << c.seconds;
        const time_t clamped = ClampToWireTime(c.seconds);
        QDXReply again;
        again.AddTimeParam(clamped);
        EXPECT_EQ(again.Text(), reply.Text()) << "the clamped time is the one sent";
        EXPECT_EQ(ClampToWireTime(clamped), clamped);
    }
    const time_t now = time(nullptr);
    EXPECT_EQ(ClampToWireTime(now), now);
}

// A time read from a request goes back on the wire unchanged.
TEST(Reply, DecodedTimeRoundTrips) {
    for (const char* text :
         {"25122026134501", "01010005000000", "31011970235959", "29022024000000"}) {
        QDXReply reply;
        reply.AddTimeParam(qdxDecodeTime(text));
        EXPECT_EQ(Str(reply.Text()), std::string(text) + "\n");
    }
}

TEST(Reply, ResultLineFreeTextAndSeparators) {
    QDXReply reply;
    reply.InitPacket("GetInfo", kKey);
    EXPECT_EQ(Str(reply.Text()), "GetInfo\n");
    reply.InitPacket(nullptr, kKey);
    EXPECT_EQ(Str(reply.Text()), "");

    reply.SetResult("200") += "Ok";
    EXPECT_EQ(Str(reply.Text()), "200\nOk");
    reply.AddIntParam(5);  // the free text is closed by the separator check
    EXPECT_EQ(Str(reply.Text()), "200\nOk\n5\n");
    reply.SetResult("301") += "I/O Error";
    EXPECT_EQ(Str(reply.Text()), "301\nI/O Error") << "SetResult discards everything before";
    reply.SetResult(nullptr);
    EXPECT_EQ(Str(reply.Text()), "");
    reply.CommandSeparatorCheck();
    EXPECT_EQ(Str(reply.Text()), "") << "an empty text gets no separator";

    reply = "replaced";
    EXPECT_EQ(Str(reply.Text()), "replaced");
    reply.CommandSeparatorCheck();
    reply.CommandSeparatorCheck();
    EXPECT_EQ(Str(reply.Text()), "replaced\n");
    reply = String("kept key");
    reply.FinalizePacket();
    EXPECT_EQ(Opened(reply), "kept key\n\r") << "assignment leaves the session key alone";
}

TEST(Reply, FinalisedPlaintext) {
    struct Case {
        const char* name;
        std::function<void(QDXReply&)> fill;
        const char* plain;
    } cases[] = {
        {"value",
         [](QDXReply& r) {
             r.SetResult("200");
             r.AddIntParam(5);
         },
         "200\n5\n\r"},
        {"reason", [](QDXReply& r) { r.SetResult("301") += "I/O Error"; }, "301\nI/O Error\n\r"},
        {"free text with its LF", [](QDXReply& r) { r.SetResult("200") += "Ok\n"; }, "200\nOk\n\r"},
        {"nothing set", [](QDXReply&) {}, "\r"},
    };
    for (const Case& c : cases) {
        QDXReply reply;
        reply.InitPacket(nullptr, kKey);
        c.fill(reply);
        reply.FinalizePacket();
        EXPECT_EQ(Opened(reply), c.plain) << c.name;
    }
}

TEST(Reply, VarParamsKeepsUpTo2048CharactersCutTo2047) {
    struct Case {
        int length;
        int kept;  // -1: nothing appended, not even the line end
    } cases[] = {{0, 0}, {2047, 2047}, {2048, 2047}, {2049, -1}, {100000, -1}};
    for (const Case& c : cases) {
        QDXReply reply;
        reply.SetResult("200") += "free";
        std::string value(static_cast<size_t>(c.length), 'v');
        reply.AddVarParams("%s", value.c_str());
        std::string expected = "200\nfree";
        if (c.kept >= 0) expected += "\n" + value.substr(0, static_cast<size_t>(c.kept)) + "\n";
        EXPECT_EQ(Str(reply.Text()), expected) << c.length;
    }
}

}  // namespace
