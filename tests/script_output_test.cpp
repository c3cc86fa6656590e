#include "handlers/script_output.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// A read-only stream over `text`, closed at the end of the scope.
struct Memory {
    explicit Memory(const std::string& text) : data(text) {
        file = fmemopen(data.data(), data.size() > 0 ? data.size() : 1, "r");
        if (data.empty()) std::fgetc(file);  // an empty text: a stream at its end
    }
    ~Memory() { std::fclose(file); }
    std::string data;
    FILE* file;
};

std::string Str(const String& s) {
    return s.Data() ? std::string(s.Data(), static_cast<size_t>(s.Length())) : std::string();
}

TEST(ScriptOutput, LeadingNumbers) {
    struct Case {
        std::string text;
        bool found;
        int value;
    } cases[] = {
        {"3\n", true, 3},
        {"  \n\t 42 processes", true, 42},
        {"-7", true, -7},
        {"+5", true, 5},
        {"abc", false, 0},
        {"", false, 0},
        {"- 5", false, 0},
        {"99999999999", true, 2147483647},
        {"-99999999999", true, -2147483647 - 1},
        {"12abc", true, 12},
    };
    for (const Case& c : cases) {
        Memory m(c.text);
        int value = 0;
        EXPECT_EQ(ReadLeadingInt(m.file, value), c.found) << c.text;
        if (c.found) {
            EXPECT_EQ(value, c.value) << c.text;
        }
    }
    Memory real("  12.5\n");
    float usage = 0;
    EXPECT_TRUE(ReadLeadingReal(real.file, usage));
    EXPECT_FLOAT_EQ(usage, 12.5f);
    Memory word("busy");
    EXPECT_FALSE(ReadLeadingReal(word.file, usage));
}

TEST(ScriptOutput, ProcessListTakesEveryNonEmptyLineOnce) {
    Memory three("init\n\nsshd\r\n\ncron\n");
    EXPECT_EQ(Str(ReadProcessList(three.file)), "init\r\nsshd\r\r\ncron\r\n");
    std::string longLine(600, 'p');
    Memory cut(longLine + "\nlast");
    EXPECT_EQ(Str(ReadProcessList(cut.file)),
              std::string(511, 'p') + "\r\n" + std::string(89, 'p') + "\r\nlast\r\n");
    Memory empty("");
    EXPECT_EQ(Str(ReadProcessList(empty.file)), "");
}

TEST(ScriptOutput, ResultLineAndOutputBudget) {
    struct Case {
        std::string text;
        int budget;
        std::string result;
        std::string output;
    } cases[] = {
        {"a\nscriptres:Ok\nb\n", 2, "scriptres:Ok", "a\r\nscriptres:Ok\r\n"},
        {"a\nscriptres:Ok\nb\n", 0, "scriptres:Ok", ""},
        {"a\nscriptres:Ok\nb\n", 5, "scriptres:Ok", "a\r\nscriptres:Ok\r\nb\r\n"},
        {"a\nb\n", 5, "b", "a\r\nb\r\n"},
        {"  x  \n\n\t\nSCRIPTRES: fine \nscriptres:later\n", 1, "SCRIPTRES: fine", "x\r\n"},
        {"scriptres:first\nmore\n", -1, "scriptres:first", ""},
        {"", 3, "", ""},
    };
    for (const Case& c : cases) {
        Memory m(c.text);
        String result = "stale", output = "stale";
        ReadScriptResult(m.file, c.budget, result, output);
        EXPECT_EQ(Str(result), c.result) << c.text << " budget " << c.budget;
        EXPECT_EQ(Str(output), c.output) << c.text << " budget " << c.budget;
    }
}

TEST(ScriptOutput, EndlessOutputIsCapped) {
    std::string line(500, 'o');
    std::string text;
    while (text.size() < 3u * kMaxScriptText) text += line + "\n";
    Memory list(text);
    EXPECT_LE(ReadProcessList(list.file).Length(), kMaxScriptText + 600);
    Memory script(text + "scriptres:done\n");
    String result, output;
    ReadScriptResult(script.file, 1 << 30, result, output);
    EXPECT_LE(output.Length(), kMaxScriptText + 600);
    EXPECT_EQ(Str(result), "scriptres:done") << "the whole output is still read for the result";
}

}  // namespace
