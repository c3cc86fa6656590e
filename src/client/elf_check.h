// What "qdxctl upgrade" checks of a file before it offers it as an agent's new executable: an ELF
// executable (its magic, class, byte order and type, plain or position-independent) for the
// agent host's machine.
#pragma once

#include <cstddef>
#include <string>

// An ELF machine by the names uname and package architectures use.
struct ElfMachine {
    const char* name;       // "x86_64"
    const char* aliases;    // other names, blank-separated ("amd64")
    unsigned short number;  // e_machine
    int elfClass;           // 1: 32-bit, 2: 64-bit
};

// The machine `name` names (a name or an alias), or null.
const ElfMachine* FindElfMachine(const std::string& name);
// The machine qdxctl runs on (uname), or null when it is not in the table.
const ElfMachine* LocalElfMachine();
// The names of the table, comma-separated, for messages.
std::string ElfMachineNames();

// Checks the first bytes of a file (at least the 64 of an ELF header, when the file has them).
// True when they begin an executable or a position-independent executable for `machine`; false
// with the reason in `error`, naming what the file is and what was expected.
bool CheckElfExecutable(const unsigned char* head, size_t length, const ElfMachine& machine,
                        std::string& error);
