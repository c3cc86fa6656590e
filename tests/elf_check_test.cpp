// The check of a file offered as an agent's new executable: ELF magic, class, byte order, type
// and machine.
#include "client/elf_check.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<unsigned char> Header(int elfClass, int order, unsigned type, unsigned machine) {
    std::vector<unsigned char> head(64, 0);
    head[0] = 0x7f, head[1] = 'E', head[2] = 'L', head[3] = 'F';
    head[4] = static_cast<unsigned char>(elfClass);
    head[5] = static_cast<unsigned char>(order);
    head[6] = 1;
    auto half = [&](size_t at, unsigned value) {
        head[at + (order == 1 ? 0 : 1)] = static_cast<unsigned char>(value & 0xff);
        head[at + (order == 1 ? 1 : 0)] = static_cast<unsigned char>(value >> 8);
    };
    half(16, type);
    half(18, machine);
    return head;
}

TEST(ElfCheck, TakesExecutablesForTheMachineOnly) {
    const ElfMachine& x86 = *FindElfMachine("amd64");
    const ElfMachine& s390 = *FindElfMachine("s390x");
    EXPECT_STREQ(x86.name, "x86_64");
    struct Case {
        std::vector<unsigned char> head;
        const ElfMachine* machine;
        const char* error;  // null: accepted
    } cases[] = {
        {Header(2, 1, 2, 62), &x86, nullptr},  // an executable
        {Header(2, 1, 3, 62), &x86, nullptr},  // a position-independent executable
        {Header(2, 2, 2, 22), &s390, nullptr},
        {Header(2, 1, 1, 62), &x86, "not an executable (type 1)"},
        {Header(2, 1, 4, 62), &x86, "not an executable (type 4)"},
        {Header(2, 1, 2, 183), &x86, "an ELF executable for aarch64 (64-bit), not for x86_64"},
        {Header(1, 1, 2, 3), &x86, "an ELF executable for i386 (32-bit), not for x86_64"},
        {Header(1, 1, 2, 62), &x86, "(32-bit), not for x86_64"},
        {Header(2, 2, 2, 62), &x86, "with the other byte order"},
        {Header(2, 1, 2, 9999), &x86, "for machine 9999"},
        {Header(3, 1, 2, 62), &x86, "not a valid ELF file"},
        {{'#', '!', '/', 'b', 'i', 'n', '/', 's', 'h', '\n', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         &x86,
         "no ELF magic"},
        {{0x7f, 'E', 'L', 'F'}, &x86, "no ELF magic"},
    };
    for (const Case& c : cases) {
        std::string error;
        bool ok = CheckElfExecutable(c.head.data(), c.head.size(), *c.machine, error);
        EXPECT_EQ(ok, c.error == nullptr) << error;
        if (c.error != nullptr) {
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
        }
    }
    EXPECT_EQ(FindElfMachine("vax"), nullptr);
    EXPECT_NE(LocalElfMachine(), nullptr) << "the machine the tests run on is in the table";
}

}  // namespace
