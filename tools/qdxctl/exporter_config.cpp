#include "exporter_config.h"

#include <yaml-cpp/yaml.h>

#include <algorithm>

#include "client/client.h"
#include "input_file.h"

namespace {

constexpr size_t kMaxModulesFile = 1 << 20;

// The keys each level takes: any other is a mistake worth naming.
const char* const kTopKeys[] = {"password_file", "targets", "port", "max_probes",
                                "timeout_seconds", "modules"};
const char* const kModuleKeys[] = {"command",
                                   "params",
                                   "password_file",
                                   "targets",
                                   "values",
                                   "labels",
                                   "port",
                                   "tls",
                                   "tls_port",
                                   "tls_ca_file",
                                   "tls_cert_file",
                                   "tls_key_file",
                                   "tls_psk_identity",
                                   "tls_psk_file",
                                   "tls_insecure_skip_verify"};
// The module keys that only a TLS module takes.
const char* const kTlsKeys[] = {
    "tls_port",         "tls_ca_file",  "tls_cert_file",           "tls_key_file",
    "tls_psk_identity", "tls_psk_file", "tls_insecure_skip_verify"};

template <size_t N>
bool KeysKnown(const YAML::Node& map, const char* const (&keys)[N], const std::string& where,
               std::string& error) {
    for (const auto& item : map) {
        std::string key = item.first.as<std::string>();
        if (std::none_of(keys, keys + N, [&](const char* k) { return key == k; })) {
            error = where + ": unknown key '" + key + "'";
            return false;
        }
    }
    return true;
}

bool ReadPassword(const std::string& path, std::string& password, std::string& error) {
    std::string content;
    if (!ReadInputFile(path, kMaxPasswordFile, false, content, error)) {
        error = "password_file " + path + ": " + error;
        return false;
    }
    // The first line that is neither empty nor a comment.
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        std::string line = content.substr(start, end == std::string::npos ? end : end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line[0] != '#') {
            password = line;
            return true;
        }
        if (end == std::string::npos) break;
        start = end + 1;
    }
    error = "password_file " + path + ": holds no password";
    return false;
}

// A password_file key: the path of a file, as a YAML text.
bool ReadPasswordKey(const YAML::Node& file, std::string& password, std::string& error) {
    if (!file.IsScalar()) {
        error = "password_file: give the path of a file";
        return false;
    }
    return ReadPassword(file.as<std::string>(), password, error);
}

bool ReadTargets(const YAML::Node& node, const std::string& where, TargetList& targets,
                 std::string& error) {
    if (!node.IsSequence()) {
        error = where + ": give a list of addresses, networks, ranges or host names";
        return false;
    }
    for (const YAML::Node& item : node) {
        if (!item.IsScalar() || !targets.Add(item.as<std::string>(), error)) {
            error = where + ": " + (item.IsScalar() ? error : "an entry is not a text");
            return false;
        }
    }
    return true;
}

bool ReadNames(const YAML::Node& node, const std::string& where, std::vector<std::string>& names,
               std::string& error) {
    if (!node.IsSequence()) {
        error = where + ": give a list of names";
        return false;
    }
    for (const YAML::Node& item : node) {
        if (!item.IsScalar()) {
            error = where + ": an entry is not a name";
            return false;
        }
        names.push_back(item.as<std::string>());
    }
    return true;
}

bool ReadPort(const YAML::Node& node, const std::string& where, int& port, std::string& error) {
    int value = 0;
    if (!YAML::convert<int>::decode(node, value) || value < 1 || value > 65535) {
        error = where + ": the port must be 1 to 65535";
        return false;
    }
    port = value;
    return true;
}

bool ReadFlag(const YAML::Node& node, const std::string& where, bool& flag, std::string& error) {
    if (!YAML::convert<bool>::decode(node, flag)) {
        error = where + ": give true or false";
        return false;
    }
    return true;
}

// A module's TLS keys: the port, the files and the pre-shared key, made into the module's
// context at once so that a file that cannot be read is named before anything is served.
bool ReadModuleTls(const YAML::Node& node, const std::string& where, ExporterModule& module,
                   std::string& error) {
    bool tls = false;
    if (const YAML::Node flag = node["tls"])
        if (!ReadFlag(flag, where + ": tls", tls, error)) return false;
    if (!tls) {
        for (const char* key : kTlsKeys)
            if (node[key]) {
                error = where + ": " + key + " needs tls: true";
                return false;
            }
        return true;
    }
    if (const YAML::Node port = node["tls_port"])
        if (!ReadPort(port, where + ": tls_port", module.port, error)) return false;
    TlsOptions options;
    const std::pair<const char*, std::string*> texts[] = {
        {"tls_ca_file", &options.caFile},
        {"tls_cert_file", &options.certFile},
        {"tls_key_file", &options.keyFile},
        {"tls_psk_identity", &options.pskIdentity},
        {"tls_psk_file", &options.pskFile}};
    for (const auto& [key, text] : texts)
        if (const YAML::Node value = node[key]) {
            if (!value.IsScalar() || value.Scalar().empty()) {
                error = where + ": " + key + ": give a text";
                return false;
            }
            *text = value.Scalar();
        }
    if (options.certFile.empty() != options.keyFile.empty()) {
        error = where + ": tls_cert_file and tls_key_file go together";
        return false;
    }
    if (options.pskIdentity.empty() != options.pskFile.empty()) {
        error = where + ": tls_psk_identity and tls_psk_file go together";
        return false;
    }
    if (const YAML::Node skip = node["tls_insecure_skip_verify"]) {
        if (!ReadFlag(skip, where + ": tls_insecure_skip_verify", module.tlsUnchecked, error))
            return false;
    }
    options.verifyPeer = !module.tlsUnchecked;
    String reason;
    module.tls = NewClientTlsContext(options, reason);
    if (module.tls == nullptr) {
        error = where + ": " + TlsFailure(reason);
        return false;
    }
    return true;
}

bool IsNumericKind(ValueKind kind) {
    return kind == ValueKind::Integer || kind == ValueKind::Real || kind == ValueKind::Flag;
}

bool ReadModule(const std::string& name, const YAML::Node& node, const ExporterConfig& config,
                ExporterModule& module, std::string& error) {
    const std::string where = "module " + name;
    if (!node.IsMap()) {
        error = where + ": give command: and params:";
        return false;
    }
    if (!KeysKnown(node, kModuleKeys, where, error)) return false;
    module.name = name;
    if (!node["command"] || !node["command"].IsScalar()) {
        error = where + ": no command";
        return false;
    }
    std::string command = node["command"].as<std::string>();
    module.spec = FindCommandSpec(command);
    if (module.spec == nullptr) {
        error = where + ": unknown command '" + command + "'";
        return false;
    }
    if (!ReadOnlyCommand(command)) {
        error = where + ": " + command + " is not a read-only request (only TEST- commands and "
                "GetInfo may be probed)";
        return false;
    }
    if (const YAML::Node params = node["params"]) {
        if (!params.IsMap()) {
            error = where + ": params: give NAME: VALUE pairs";
            return false;
        }
        for (const auto& item : params) {
            if (!item.second.IsScalar()) {
                error = where + ": params: the value of '" + item.first.as<std::string>() +
                        "' is not a text";
                return false;
            }
            module.params.push_back({item.first.as<std::string>(), item.second.as<std::string>()});
        }
    }
    if (!BuildParamLines(module.spec, {}, module.params, false, module.lines, error)) {
        error = where + ": params: " + error;
        return false;
    }
    module.password = config.password;
    if (const YAML::Node file = node["password_file"]) {
        if (!ReadPasswordKey(file, module.password, error)) {
            error = where + ": " + error;
            return false;
        }
    }
    if (module.password.empty()) {
        error = where + ": no password_file (neither its own nor the global one)";
        return false;
    }
    if (const YAML::Node targets = node["targets"])
        if (!ReadTargets(targets, where + ": targets", module.targets, error)) return false;
    if (module.targets.Empty() && config.targets.Empty()) {
        error = where + ": no targets (neither its own nor the global list)";
        return false;
    }
    if (const YAML::Node values = node["values"]) {
        if (!ReadNames(values, where + ": values", module.values, error)) return false;
        for (const std::string& value : module.values) {
            const ValueSpec* spec = FindValue(*module.spec, value);
            if (spec == nullptr || !IsNumericKind(spec->kind)) {
                error = where + ": values: " + command + " returns no number named '" + value + "'";
                return false;
            }
        }
    }
    if (const YAML::Node labels = node["labels"]) {
        if (!ReadNames(labels, where + ": labels", module.labels, error)) return false;
        for (const std::string& label : module.labels) {
            const ValueSpec* spec = FindValue(*module.spec, label);
            if (spec == nullptr || IsNumericKind(spec->kind)) {
                error = where + ": labels: " + command + " returns no text named '" + label + "'";
                return false;
            }
        }
    }
    module.port = config.port;
    if (const YAML::Node port = node["port"])
        if (!ReadPort(port, where + ": port", module.port, error)) return false;
    return ReadModuleTls(node, where, module, error);
}

bool ParseTop(const YAML::Node& root, const std::string& source, ExporterConfig& config,
              std::string& error) {
    if (!root.IsMap()) {
        error = source + ": not a YAML mapping of password_file, targets and modules";
        return false;
    }
    if (!KeysKnown(root, kTopKeys, source, error)) return false;
    if (const YAML::Node file = root["password_file"])
        if (!ReadPasswordKey(file, config.password, error)) return false;
    if (const YAML::Node targets = root["targets"])
        if (!ReadTargets(targets, "targets", config.targets, error)) return false;
    if (const YAML::Node port = root["port"])
        if (!ReadPort(port, "port", config.port, error)) return false;
    if (const YAML::Node probes = root["max_probes"]) {
        if (!YAML::convert<int>::decode(probes, config.maxProbes) || config.maxProbes < 1 ||
            config.maxProbes > 4096) {
            error = "max_probes: give 1 to 4096";
            return false;
        }
    }
    if (const YAML::Node timeout = root["timeout_seconds"]) {
        if (!YAML::convert<double>::decode(timeout, config.timeoutSeconds) ||
            !(config.timeoutSeconds >= 0.1 && config.timeoutSeconds <= 600)) {
            error = "timeout_seconds: give 0.1 to 600";
            return false;
        }
    }
    const YAML::Node modules = root["modules"];
    if (!modules || !modules.IsMap() || modules.size() == 0) {
        error = source + ": no modules";
        return false;
    }
    for (const auto& item : modules) {
        std::string name = item.first.as<std::string>();
        ExporterModule module;
        if (!ReadModule(name, item.second, config, module, error)) return false;
        config.modules[name] = std::move(module);
    }
    return true;
}

}  // namespace

bool ReadOnlyCommand(const std::string& command) {
    return command.rfind("TEST-", 0) == 0 || command == "GetInfo";
}

bool ParseExporterConfig(const std::string& text, const std::string& source,
                         ExporterConfig& config, std::string& error) {
    config = ExporterConfig{};
    // yaml-cpp reports a malformed file by throwing; nothing else here does.
    try {
        return ParseTop(YAML::Load(text), source, config, error);
    } catch (const YAML::Exception& problem) {
        error = source + ": " + problem.what();
        return false;
    }
}

bool LoadExporterConfig(const std::string& path, ExporterConfig& config, std::string& error) {
    std::string text;
    if (!ReadInputFile(path, kMaxModulesFile, false, text, error)) {
        error = path + ": " + error;
        return false;
    }
    return ParseExporterConfig(text, path, config, error);
}
