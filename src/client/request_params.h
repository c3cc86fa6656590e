// Turns the words after a command into its parameter lines: positional words in wire order,
// "--NAME VALUE" and "--NAME=VALUE" at the catalog's positions, defaults for the rest.
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

// The parameter lines of a request. Without named parameters the positional words are the lines,
// exactly as given. With them, the lines reach up to the last position that is given or has a
// non-empty default; positions nobody fills are empty. Line breaks are escaped in parameters that
// travel escaped. False with the reason in `error` for an unknown name, a name given twice, a
// position given both by position and by name, or a line break where none can travel.
bool BuildParamLines(const CommandSpec* command, const std::vector<std::string>& positional,
                     const std::vector<NamedParam>& given, std::vector<std::string>& lines,
                     std::string& error);

// The wire position of `param` for these lines and names (its moves applied).
int ParamPosition(const CommandSpec& command, const ParamSpec& param,
                  const std::vector<std::string>& positional, const std::vector<NamedParam>& given);

// The value a request sent for parameter `name` (empty when the lines do not reach it).
std::string SentValue(const CommandSpec& command, const std::vector<std::string>& lines,
                      const char* name);
