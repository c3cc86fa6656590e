// The request a command line asks for: the command, looked up in the catalog, and its parameter
// lines built from positional words, named parameters, defaults and parameter files.
#pragma once

#include <string>
#include <vector>

#include "client/catalog.h"
#include "client/request_params.h"
#include "options.h"

struct Request {
    std::string command;                // as sent
    const CommandSpec* spec = nullptr;  // null for a command the catalog does not know
    std::vector<std::string> lines;     // parameter lines
    std::vector<NamedParam> given;      // the named parameters, as given
};

// Builds the request for `words` (command first) with the parameter files and --wire of
// `options`. Usage errors end qdxctl with the command's parameters; a request larger than the
// agent takes is refused before it is sent.
Request BuildRequest(const std::vector<std::string>& words, const Options& options);
