#include "request_words.h"

#include "client/client.h"
#include "input_file.h"

namespace {

// The largest request packet the agent takes.
constexpr size_t kMaxRequestPacket = 1u << 20;

std::string ParamFileContent(const ParamFile& file) {
    std::string content, error;
    if (!ReadInputFile(file.path, kMaxParamFile, false, content, error)) Fail("-F: " + error);
    return content;
}

}  // namespace

Request BuildRequest(const std::vector<std::string>& words, const Options& options) {
    Request request;
    request.command = words.at(0);
    std::vector<std::string> rest(words.begin() + 1, words.end());
    request.spec = FindCommandSpec(request.command);
    bool named = request.spec != nullptr && !request.spec->params.empty() && !options.wire;
    std::vector<std::string> positional;
    std::string error;
    if (!SplitWords(rest, named, positional, request.given, error))
        CommandUsage(request.command, error);

    // -F NAME=FILE is a named parameter, and so is -F N=FILE where the catalog knows the
    // parameter at line N; otherwise the file's content is inserted at line N.
    std::vector<ParamFile> numbered;
    for (const ParamFile& file : options.paramFiles) {
        std::string name = file.name;
        if (name.empty() && named) {
            const ParamSpec* param = ParamAtPosition(*request.spec, file.index);
            if (param == nullptr)
                CommandUsage(request.command, "no parameter at line " +
                                                  std::to_string(file.index) +
                                                  "; name one with -F NAME=FILE");
            name = param->name;
        }
        if (name.empty())
            numbered.push_back(file);
        else
            request.given.push_back({name, ParamFileContent(file)});
    }
    if (!BuildParamLines(request.spec, positional, request.given, options.wire, request.lines,
                         error))
        CommandUsage(request.command, error);
    if (!InsertParamFiles(numbered, request.lines, error)) Fail(error);
    if (request.spec != nullptr && !CheckExpressions(*request.spec, request.lines, error))
        CommandUsage(request.command, error);
    size_t size = static_cast<size_t>(BuildRequestText(request.command, request.lines).Length());
    if (size > kMaxRequestPacket - 64)
        CommandUsage(request.command, "the request takes " + std::to_string(size) +
                                          " bytes; the agent takes at most " +
                                          ByteSize(kMaxRequestPacket));
    return request;
}
