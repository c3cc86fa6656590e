#include "protocol/request.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "protocol/decoders.h"
#include "protocol/packet.h"

namespace {

std::string Str(const String& s) {
    return std::string(s.Data() ? s.Data() : "", s.Length());
}

ZPRequest Params(const char* text) {
    ZPRequest r;
    r = text;
    return r;
}

TEST(Request, ParamsCountCountsLineFeedsOnly) {
    struct Case {
        const char* text;
        int count;
    } cases[] = {
        {"", 0}, {"a", 0}, {"a\n", 1}, {"a\nb\n", 2}, {"a\nb", 1}, {"a\nb\n\r", 2}, {"\n\n\n", 3},
    };
    for (const Case& c : cases) EXPECT_EQ(Params(c.text).GetParamsCount(), c.count) << c.text;
}

TEST(Request, GetParamByPosition) {
    struct Case {
        const char* text;
        int index;
        int trim;
        const char* expected;
    } cases[] = {
        {"one\ntwo\n", 1, 0, "one"},
        {"one\ntwo\n", 2, 0, "two"},
        {"one\ntwo\n", 0, 0, "one"},  // 1 or less: the first line
        {"one\ntwo\n", -7, 0, "one"},
        {"one\ntwo\n", 3, 0, ""},  // the empty rest after the last LF
        {"one\ntwo\n", 9, 0, ""},
        {"one\ntwo", 2, 0, "two"},  // uncounted, still readable
        {"x\r\ny\n", 1, 0, "x\r"},
        {"x\r\ny\n", 1, 1, "x"},
        {"  padded \t\n", 1, 1, "padded"},
        {"a\n\nc\n", 2, 1, ""},
        {"a\n\nc\n", 3, 1, "c"},
        {"last\n\r", 2, 0, "\r"},  // the end mark is an uncounted last line
        {"", 1, 0, ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Str(Params(c.text).GetParam(c.index, c.trim)), c.expected)
            << c.text << " #" << c.index;

    // Lines are bytes: a NUL inside a line stays.
    ZPRequest binary;
    binary = String("a\0b\nc\n", 6);
    EXPECT_EQ(Str(binary.GetParam(1, 0)), std::string("a\0b", 3));
}

TEST(Request, GetNamedParam) {
    const char* text = " Port = 1000 \nname=a=b\nempty=\nNoEquals\nport=5\nPort=2000\nlast=x";
    ZPRequest r = Params(text);
    struct Case {
        const char* name;
        const char* expected;
    } cases[] = {
        {"Port", "1000"},  // trimmed around the name and the value; the first match wins
        {"port", "5"},     // case-sensitive
        {"name", "a=b"},   // split at the first "="
        {"empty", ""},     // an empty value
        {"NoEquals", ""},  // a line without "=" never matches
        {"last", ""},      // the last line has no LF, so it is not counted
        {"missing", ""},   // no such name
        {"", ""},          // no line with an empty name
    };
    for (const Case& c : cases) EXPECT_EQ(Str(r.GetNamedParam(c.name)), c.expected) << c.name;
    EXPECT_EQ(Str(Params("=v\n").GetNamedParam("")), "v");
}

TEST(Request, AssignmentReplacesTheTextOnly) {
    // A packet with the session key 01 02 under an empty password and the text "X\n\r".
    String key("\x01\x02", 2);
    String body("\x03\x12\0\0", 4);
    body += EncodeData(key, "", 2);
    body += EncodeData("X\n\r", key, 4);
    ZPRequest r;
    String packet = EncodeLength(body, 4) + body;
    r.Append(packet.Data(), packet.Length());
    ASSERT_TRUE(r.ParseInitRequest("", in_addr{}));
    ASSERT_EQ(Str(r.Text()), "X\n\r");

    r = "other\n";
    EXPECT_EQ(Str(r.Text()), "other\n");
    EXPECT_EQ(r.GetSessionKey(), key);
    r = String("again\n");
    EXPECT_EQ(Str(r.Text()), "again\n");
    EXPECT_EQ(r.GetSessionKey(), key);

    r.Append("more", 4);
    r.Append("ignored", 0);
    r.Append(nullptr, 3);
    EXPECT_EQ(Str(r.Text()), "again\nmore");
}

// ---- decoders ---------------------------------------------------------------------------------

TEST(Decoders, BoolIsExactlyOne) {
    struct Case {
        const char* text;
        bool value;
    } cases[] = {{"1", true},   {"0", false},  {"01", false},  {"true", false}, {"", false},
                 {" 1", false}, {"1 ", false}, {"yes", false}, {"11", false}};
    for (const Case& c : cases) {
        EXPECT_EQ(qdxDecodeBool(c.text), c.value) << c.text;
        EXPECT_EQ(qdxDecodeBool(String(c.text)), c.value) << c.text;
    }
    EXPECT_FALSE(qdxDecodeBool(static_cast<const char*>(nullptr)));
    EXPECT_TRUE(qdxDecodeBool(String("1\0junk", 6))) << "a String is read up to its first NUL";
}

TEST(Decoders, IntegersPlainAndChecked) {
    struct Case {
        const char* text;
        bool accepted;  // by the checked form
        int value;      // atoi
        double value64;
    } cases[] = {
        {"42", true, 42, 42},
        {"-5", true, -5, -5},
        {"", true, 0, 0},  // isdecimalnum holds for the empty text
        {"12a", false, 12, 12},
        {" 7", false, 7, 7},
        {"--3", true, 0, 0},  // only digits and '-', in any order
        {"1-2", true, 1, 1},
        {"1.5", false, 1, 1.5},
        {"9007199254740993", true, static_cast<int>(9007199254740993LL % (1LL << 32)),
         9007199254740992.0},  // beyond 2^53 the double rounds
        {"4294967296", true, 0, 4294967296.0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(qdxDecodeInt(c.text), c.value) << c.text;
        EXPECT_EQ(qdxDecodeInt(String(c.text)), c.value) << c.text;
        EXPECT_EQ(qdxDecodeInt64(c.text), c.value64) << c.text;
        int value = -99;
        EXPECT_EQ(qdxDecodeInt(c.text, value), c.accepted) << c.text;
        EXPECT_EQ(value, c.accepted ? c.value : -99) << c.text << ": untouched when refused";
        double value64 = -99;
        EXPECT_EQ(qdxDecodeInt64(String(c.text), value64), c.accepted) << c.text;
        EXPECT_EQ(value64, c.accepted ? c.value64 : -99) << c.text;
    }
    int value = -1;
    EXPECT_TRUE(qdxDecodeInt(String("17\0x", 4), value));
    EXPECT_EQ(value, 17);
}

TEST(Decoders, Real) {
    EXPECT_DOUBLE_EQ(qdxDecodeReal("12.5"), 12.5);
    EXPECT_DOUBLE_EQ(qdxDecodeReal(String("-0.25xyz")), -0.25);
    EXPECT_DOUBLE_EQ(qdxDecodeReal("1e3"), 1000);
    EXPECT_DOUBLE_EQ(qdxDecodeReal("abc"), 0);
    EXPECT_DOUBLE_EQ(qdxDecodeReal(String()), 0);
}

TEST(Decoders, TimeKeepsMonthAndYearAsWritten) {
    tm t = qdxDecodeTime("25122026134501");
    EXPECT_EQ(t.tm_mday, 25);
    EXPECT_EQ(t.tm_mon, 12);
    EXPECT_EQ(t.tm_year, 2026);
    EXPECT_EQ(t.tm_hour, 13);
    EXPECT_EQ(t.tm_min, 45);
    EXPECT_EQ(t.tm_sec, 1);
    EXPECT_EQ(qdxDecodeTime(String("01010000000000")).tm_mon, 1);

    // No digit check: each character counts as its distance from '0'.
    EXPECT_EQ(qdxDecodeTime("0:010000000000").tm_mday, 10);

    auto zero = [](const tm& x) {
        return x.tm_mday == 0 && x.tm_mon == 0 && x.tm_year == 0 && x.tm_hour == 0 &&
               x.tm_min == 0 && x.tm_sec == 0 && x.tm_wday == 0 && x.tm_yday == 0 &&
               x.tm_isdst == 0;
    };
    for (const char* text : {"2512202613450", "251220261345010", ""})
        EXPECT_TRUE(zero(qdxDecodeTime(text))) << text;
    EXPECT_TRUE(
        zero(qdxDecodeTime(String("2512202613450\0"
                                  "1",
                                  15))))
        << "13 characters before the NUL";
}

}  // namespace
