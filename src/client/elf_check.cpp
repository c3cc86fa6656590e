#include "client/elf_check.h"

#include <sys/utsname.h>

#include <cstring>
#include <sstream>

namespace {

constexpr unsigned short kExecutable = 2;  // ET_EXEC
constexpr unsigned short kShared = 3;      // ET_DYN: a position-independent executable

const ElfMachine kMachines[] = {
    {"x86_64", "amd64 x64", 62, 2},      {"i386", "i486 i586 i686 x86", 3, 1},
    {"aarch64", "arm64", 183, 2},        {"arm", "armv7l armv6l armhf armel", 40, 1},
    {"riscv64", "", 243, 2},             {"ppc64le", "ppc64el powerpc64le", 21, 2},
    {"s390x", "", 22, 2},
};

const ElfMachine* ByNumber(unsigned short number) {
    for (const ElfMachine& machine : kMachines)
        if (machine.number == number) return &machine;
    return nullptr;
}

}  // namespace

const ElfMachine* FindElfMachine(const std::string& name) {
    for (const ElfMachine& machine : kMachines) {
        if (name == machine.name) return &machine;
        std::istringstream aliases(machine.aliases);
        for (std::string alias; aliases >> alias;)
            if (alias == name) return &machine;
    }
    return nullptr;
}

const ElfMachine* LocalElfMachine() {
    utsname system{};
    if (uname(&system) != 0) return nullptr;
    return FindElfMachine(system.machine);
}

std::string ElfMachineNames() {
    std::string names;
    for (const ElfMachine& machine : kMachines)
        names += std::string(names.empty() ? "" : ", ") + machine.name;
    return names;
}

bool CheckElfExecutable(const unsigned char* head, size_t length, const ElfMachine& machine,
                        std::string& error) {
    if (length < 20 || std::memcmp(head, "\x7f" "ELF", 4) != 0) {
        error = "not an ELF executable (no ELF magic)";
        return false;
    }
    int elfClass = head[4], order = head[5];
    if ((elfClass != 1 && elfClass != 2) || (order != 1 && order != 2) || head[6] != 1) {
        error = "not a valid ELF file (class, byte order or version)";
        return false;
    }
    auto half = [&](size_t at) {
        return static_cast<unsigned short>(order == 1 ? head[at] | head[at + 1] << 8
                                                      : head[at] << 8 | head[at + 1]);
    };
    unsigned short type = half(16), number = half(18);
    if (type != kExecutable && type != kShared) {
        error = "an ELF file, but not an executable (type " + std::to_string(type) + ")";
        return false;
    }
    const ElfMachine* found = ByNumber(number);
    std::string is = found != nullptr ? found->name : "machine " + std::to_string(number);
    if (number != machine.number || elfClass != machine.elfClass) {
        error = "an ELF executable for " + is + " (" + (elfClass == 2 ? "64" : "32") +
                "-bit), not for " + machine.name;
        return false;
    }
    // A little-endian machine's executable in big-endian order (or the reverse) is another
    // machine's file; every machine of the table but s390x is little-endian.
    bool bigEndian = std::strcmp(machine.name, "s390x") == 0;
    if ((order == 2) != bigEndian) {
        error = std::string("an ELF executable for ") + machine.name + " with the other byte order";
        return false;
    }
    return true;
}
