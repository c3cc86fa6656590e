#include "request_words.h"

#include <fstream>
#include <sstream>

namespace {

// The filter list travels with its entries on escaped lines; accept them comma- or
// blank-separated on the command line.
std::string EncodeFilterList(const std::string& setting) {
    const std::string prefix = "IPFilterAddr=";
    if (setting.compare(0, prefix.size(), prefix) != 0) return setting;
    std::string encoded = prefix;
    bool separator = false;
    for (size_t k = prefix.size(); k < setting.size(); k++) {
        char c = setting[k];
        if (c == ',' || c == ' ') {
            separator = true;
            continue;
        }
        if (separator && encoded.size() > prefix.size()) encoded += "%0D%0A";
        separator = false;
        encoded += c;
    }
    return encoded;
}

bool ReadWhole(const std::string& path, std::string& content) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream text;
    text << in.rdbuf();
    content = text.str();
    return !in.bad();
}

}  // namespace

Request BuildRequest(const std::vector<std::string>& words, const std::vector<ParamFile>& files) {
    Request request;
    request.command = words.at(0);
    std::vector<std::string> rest(words.begin() + 1, words.end());
    if (request.command == "settings") {
        if (!rest.empty()) Usage("settings takes no parameters");
        request.command = "GetSettings";
    } else if (request.command == "set") {
        if (rest.empty()) Usage("set needs NAME=VALUE arguments");
        for (std::string& setting : rest) setting = EncodeFilterList(setting);
        request.command = "SetSettings";
    }
    request.spec = FindCommandSpec(request.command);
    bool named = request.spec != nullptr && !request.spec->params.empty();
    std::vector<std::string> positional;
    std::string error;
    if (!SplitWords(rest, named, positional, request.given, error))
        CommandUsage(request.command, error);

    // -F NAME=FILE is a named parameter; -F N=FILE is inserted at position N afterwards.
    std::vector<ParamFile> numbered;
    for (const ParamFile& file : files) {
        if (file.name.empty()) {
            numbered.push_back(file);
            continue;
        }
        std::string content;
        if (!ReadWhole(file.path, content)) Usage(("cannot read " + file.path).c_str());
        request.given.push_back({file.name, content});
    }
    if (!BuildParamLines(request.spec, positional, request.given, request.lines, error))
        CommandUsage(request.command, error);
    if (!InsertParamFiles(numbered, request.lines, error)) Usage(error.c_str());
    return request;
}
