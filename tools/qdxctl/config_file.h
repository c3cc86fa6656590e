// The agent's configuration file seen from the client, read with the agent's own reader:
// "-C CFG" takes the port, listen address, password and qdxpath from it; "verify-config CFG"
// checks it. Only a regular file of at most kMaxConfigFile bytes is given to the reader.
#pragma once

#include <string>

#include "client/client.h"

// Fills host, port and password of `endpoint`, and `qdxpath`, from the configuration `path`.
// False with the reason in `error` when the file is refused or cannot be loaded.
// The TLS side of the configuration `path`, as a client may use it: "tlsport", the authority
// ("tlscafile", which also signs the agent's certificate) and the pre-shared key; never the
// agent's own certificate and key. False with the reason in `error`.
bool TlsFromConfig(const std::string& path, int& tlsport, TlsOptions& tls, std::string& error);

bool EndpointFromConfig(const std::string& path, QdxEndpoint& endpoint, std::string& qdxpath,
                        std::string& error);

// "qdxctl verify-config CFG": 0 and "CFG: configuration OK" when the agent would start with it,
// 1 and the agent's own message when not.
int VerifyConfig(const std::string& path);
