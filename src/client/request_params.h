// Turns the words after a command into its parameter lines: positional words fill the parameters
// the agent reads, in the catalog's order; "--NAME VALUE" and "--NAME=VALUE" fill theirs; the
// catalog's defaults fill the rest. "--wire" keeps the words as the lines, exactly as given.
#pragma once

#include <string>
#include <vector>

#include "client/catalog.h"

struct NamedParam {
    std::string name;
    std::string value;
};

// Splits `words` into positional words and named parameters. A word "--NAME" or "--NAME=VALUE"
// names a parameter when `named` is true (a command the catalog knows); "--" makes every later
// word positional; any other word, "-1" included, is positional. False with the reason in `error`
// when a name has no value.
bool SplitWords(const std::vector<std::string>& words, bool named,
                std::vector<std::string>& positional, std::vector<NamedParam>& given,
                std::string& error);

// The parameter lines of a request.
//
// With a command the catalog knows (and `wire` false), positional words fill, in order, the
// parameters the agent reads under the values given so far (TEST-FileCompare's mode decides which
// comparison flags follow), names fill theirs, and defaults the rest, each at its wire position;
// the lines reach up to the last position that is given or has a default the agent would not read
// as an empty line, and positions nobody fills are empty.
//
// With `wire`, or a command the catalog does not know, the positional words are the lines exactly
// as given, and names are refused.
//
// Line breaks are escaped in parameters that travel escaped and refused elsewhere. False with the
// reason in `error` for an unknown name, a name given twice, a parameter given both by position and
// by name, a name the agent would not read under the values given, or more words than parameters.
bool BuildParamLines(const CommandSpec* command, const std::vector<std::string>& positional,
                     const std::vector<NamedParam>& given, bool wire,
                     std::vector<std::string>& lines, std::string& error);

// Whether the agent reads `param` in a request of these parameter lines, and at which position
// (its moves applied).
bool ParamRead(const CommandSpec& command, const ParamSpec& param,
               const std::vector<std::string>& lines);
int WirePosition(const CommandSpec& command, const ParamSpec& param,
                 const std::vector<std::string>& lines);

// The value a request sent for parameter `name`, trimmed as the agent trims it (empty when the
// lines do not reach it).
std::string SentValue(const CommandSpec& command, const std::vector<std::string>& lines,
                      const char* name);

// The first parameter whose own position is `position`, or null.
const ParamSpec* ParamAtPosition(const CommandSpec& command, int position);

// Compiles every log expression the request carries (a parameter whose expressionWhen flag is
// 1) with the agent's own expression code. False with the reason in `error` for one the agent
// would take as matching no line: one that does not convert, or whose operators and operands do
// not pair up.
bool CheckExpressions(const CommandSpec& command, const std::vector<std::string>& lines,
                      std::string& error);
