// Request parameters taken from files: "-F N=FILE" makes the content of FILE parameter N, with
// its line breaks escaped ("%0D", "%0A") the way script texts travel, e.g. the script of
// TEST-ShellScript.
#pragma once

#include <string>
#include <vector>

struct ParamFile {
    int index = 0;     // 1-based parameter position, or 0 with a name
    std::string name;  // a parameter name ("-F script=FILE"), or empty with an index
    std::string path;
};

// Reads "N=FILE" or "NAME=FILE"; false when N is not a number from 1 to 1000, NAME is not a
// lower_case name, or FILE is empty.
bool ParseParamFile(const std::string& option, ParamFile& file);

// Inserts every file's escaped content at its position among `params` (the command line's
// parameters fill the other positions in order; missing ones before it are empty). False with
// the reason in `error` when a file cannot be read.
bool InsertParamFiles(std::vector<ParamFile> files, std::vector<std::string>& params,
                      std::string& error);
