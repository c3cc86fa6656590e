#include "handlers/word_finder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <random>
#include <string>

#include "file_fixture.h"
#include "handlers/file_content.h"

namespace {

using filetest::S;

bool IsWordByte(int c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The search as the agent has always answered it: try every occurrence in turn, judging the bytes
// on either side.
bool WholeWordReference(const std::string& hay, const std::string& needle) {
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1)) {
        const int before = at > 0 ? static_cast<unsigned char>(hay[at - 1]) : -1;
        const size_t end = at + needle.size();
        const int after = end < hay.size() ? static_cast<unsigned char>(hay[end]) : -1;
        if (!IsWordByte(before) && !IsWordByte(after)) return true;
    }
    return false;
}

// The text fed in pieces of random sizes, as blocks are read.
bool FeedInPieces(const std::string& hay, const std::string& needle, std::mt19937& random,
                  uint64_t* steps = nullptr) {
    TWordFinder finder(needle.data(), needle.size());
    EXPECT_TRUE(finder.Valid());
    size_t fed = 0;
    bool found = false;
    while (!found && fed < hay.size()) {
        size_t to = std::min(hay.size(), fed + 1 + random() % 9);
        // The last byte fed waits for the one after it, as at the end of a block.
        size_t held = std::min(hay.size(), to + 1);
        found = finder.Feed(hay.data(), fed, to, held, -1);
        fed = to;
    }
    if (steps) *steps = finder.Steps();
    return found;
}

// The repetitive case that made the search quadratic: a long needle on a file of the same byte.
// The work stays linear in the file and the needle.
TEST(WordFinder, RepetitiveInputTakesLinearSteps) {
    std::mt19937 random(1);
    for (size_t needleLength : {size_t{1}, size_t{7}, size_t{70000}}) {
        const std::string needle(needleLength, 'a');
        const std::string hay(1 << 20, 'a');
        uint64_t steps = 0;
        EXPECT_FALSE(FeedInPieces(hay, needle, random, &steps));
        EXPECT_LE(steps, 3 * (hay.size() + needle.size())) << needleLength;
        // A whole word after all that is still found.
        EXPECT_TRUE(FeedInPieces(hay + " " + needle, needle, random)) << needleLength;
    }
}

// On random texts over a few letters, digits and blanks, the finder answers as the reference.
TEST(WordFinder, AgreesWithTheReferenceOnRandomTexts) {
    std::mt19937 random(2);
    const std::string alphabet = "aab 1.";
    for (int round = 0; round < 20000; round++) {
        std::string hay(random() % 60, ' ');
        for (char& c : hay) c = alphabet[random() % alphabet.size()];
        std::string needle;
        if (!hay.empty() && random() % 2) {
            size_t at = random() % hay.size();
            needle = hay.substr(at, 1 + random() % std::min<size_t>(8, hay.size() - at));
        } else {
            needle.resize(1 + random() % 4);
            for (char& c : needle) c = alphabet[random() % alphabet.size()];
        }
        EXPECT_EQ(FeedInPieces(hay, needle, random), WholeWordReference(hay, needle))
            << "'" << needle << "' in '" << hay << "'";
    }
}

// Through the file search, with occurrences across the blocks read: larger random files.
TEST(WordFinder, FileSearchAgreesWithTheReference) {
    filetest::TempDir dir(filetest::MemoryBase());
    std::mt19937 random(3);
    const std::string alphabet = "abAB 1-";
    for (int round = 0; round < 40; round++) {
        std::string hay(60000 + random() % 120000, ' ');
        for (char& c : hay) c = alphabet[random() % alphabet.size()];
        size_t at = random() % hay.size();
        std::string needle = hay.substr(at, 1 + random() % std::min<size_t>(12, hay.size() - at));
        const bool caseSensitive = random() % 2;
        std::string lowerHay = hay, lowerNeedle = needle;
        if (!caseSensitive) {
            for (char& c : lowerHay) c = static_cast<char>(std::tolower(c));
            for (char& c : lowerNeedle) c = static_cast<char>(std::tolower(c));
        }
        const std::string path = dir.File("f", hay);
        EXPECT_EQ(FindStrInFile(S(path), S(needle), caseSensitive, 1),
                  WholeWordReference(lowerHay, lowerNeedle) ? 1 : 0)
            << "'" << needle << "' round " << round;
    }
}

}  // namespace
