// The command catalog: every command the agent answers, with its parameters in wire order and its
// reply values in order, as plain data. qdxctl's help, named parameters, labelled and JSON output,
// plugin checks and shell completion all read this table; nothing else repeats parameter
// positions. The rows live in catalog_rows.cpp.
#pragma once

#include <span>
#include <string>
#include <string_view>

enum class Family {
    Files,
    Processes,
    TextLogs,
    Network,
    Actions,
    Information,
    Management,
    NotOffered,  // known to the agent, answered "500" on this platform
};

// How a parameter line is written on the wire.
enum class ParamKind {
    Text,     // sent as given
    Escaped,  // line breaks travel as %0D and %0A; the client escapes them
    Number,   // decimal integer, "-" allowed
    Flag,     // "1" is true, anything else false
};

// A parameter's position moves when another parameter has a given value (the macro switches of
// TEST-FileCompare and TEST-TextLog2).
struct ParamMove {
    const char* whenParam;
    const char* whenValue;
    int position;
};

// A parameter the agent reads only when another parameter has a given value (the comparison
// flags of TEST-FileCompare's modes, the second filter of TEST-TextLog2).
struct ParamWhen {
    const char* param;
    const char* value;
};

struct ParamSpec {
    const char* name;  // lower_case, unique within the command
    int position;      // 1-based wire position
    ParamKind kind;
    const char* meaning;
    const char* defaultValue;  // what the request sends when the parameter is not given
    std::span<const ParamMove> moves = {};
    std::span<const ParamWhen> when = {};  // read only when one of these holds (empty: always)
    const char* expressionWhen = nullptr;   // the flag that makes this a log expression
};

// How a reply value line is read.
enum class ValueKind {
    Integer,  // "%d" or "%6.0f" (blank-padded) whole number
    Real,     // "%6.4f"
    Flag,     // "1" or "0"
    Text,     // plain text
    Escaped,  // text with %0D / %0A escapes
    List,     // escaped entries each ended by CR LF
    Time,     // DDMMYYYYhhmmss, local time
};

struct ValueSpec {
    const char* name;  // lower_case
    ValueKind kind;
    const char* unit;  // "B", "ms", "s", "%", "min" or "" (none)
    const char* meaning;
    const char* wireKey = nullptr;      // the key of a Key=Value line
    const char* presentWhen = nullptr;  // record field present only when this flag parameter is 1
    const char* maxFrom = nullptr;      // the value whose number is this one's largest possible
};

// The overall form of a successful reply.
enum class ReplyShape {
    Values,     // fixed value lines in catalog order; a reason text when there are none
    KeyValues,  // Key=Value lines, known keys named by the catalog (GetInfo, GetSettings)
    Records,    // header values, then a repeated group of record fields (GetFilesList)
    Settings,   // the request is NAME=VALUE lines (SetSettings)
};

struct ReplyValues;

// What a check of the command reports as its state when no threshold is given: the exit code of a
// program (0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN) or a script's scriptres: line, as a
// monitoring plugin's would be; a named plugin's exit code with its output passed through as the
// plugin printed it.
enum class Verdict { None, ExitCode, ScriptResult, Plugin };

struct CommandSpec {
    const char* name;  // exactly as on the wire
    Family family;
    const char* purpose;
    std::span<const ParamSpec> params;  // in wire order
    std::span<const ValueSpec> values;  // of a "200" reply, in order (the header for Records)
    std::span<const ValueSpec> records = {};   // fields of one record (Records)
    std::span<const ValueSpec> failures = {};  // value lines of a "301" reply, when not a reason
    const char* mainValue = nullptr;           // the value a monitoring system thresholds
    ReplyShape shape = ReplyShape::Values;
    const char* example = nullptr;  // parameters in named form, after the command
    // Values the client computes from the reply's own values, after them; `derive` adds them.
    std::span<const ValueSpec> derived = {};
    void (*derive)(ReplyValues& values) = nullptr;
    const char* doneHereBy = nullptr;  // NotOffered: the command that does the job here
    Verdict verdict = Verdict::None;
};

// Every command, in help order (by family).
std::span<const CommandSpec> Catalog();
// The row for `name` (exact, case-sensitive), or null.
const CommandSpec* FindCommandSpec(std::string_view name);
// A parameter or value of a row by name, or null.
const ParamSpec* FindParam(const CommandSpec& command, std::string_view name);
const ValueSpec* FindValue(const CommandSpec& command, std::string_view name);
// A short heading for a family ("File and folder tests").
const char* FamilyTitle(Family family);

// What qdxctl accepts as the value of a setting before it sends it: stricter than the agent,
// which stores whatever its decoder makes of a value (Timeout=abc is 0).
enum class SettingRule {
    Flag,           // 0 or 1
    Port,           // 1 to 65535
    Milliseconds,   // 0 (the default) to 2147483647
    Text,           // one line
    Password,       // one line, not empty
    Addresses,      // addresses and ranges a-b separated by commas (the right lists)
    FilterEntries,  // addresses separated by commas or blanks (the connection filter)
    FilterMarks,    // one 0 or 1 per filter entry
};

// A SetSettings name: the agent's own table (SetSettingsNames) decides which names exist and how
// they are matched; this row adds what qdxctl checks and shows.
struct SettingSpec {
    const char* name;  // as SetSettings takes it
    SettingRule rule;
    const char* meaning;
};
std::span<const SettingSpec> SettingNames();
const SettingSpec* FindSetting(std::string_view name);
// "0/1", "1-65535", "ms", "text", ... for help.
const char* SettingRuleWord(SettingRule rule);
