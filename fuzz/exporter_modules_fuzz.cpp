// The exporter's modules file and the probe targets checked against its allow-lists. Input: the
// YAML text, then a NUL and a probe's target text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "exporter_config.h"
#include "exporter_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 65536) return 0;
    std::string input(reinterpret_cast<const char*>(data), size);
    size_t cut = input.find('\0');
    std::string yaml = input.substr(0, cut);
    std::string targetText = cut == std::string::npos ? "127.0.0.1:1055" : input.substr(cut + 1);
    ExporterConfig config;
    std::string error;
    ProbeTarget target;
    bool parsed = ParseExporterConfig(yaml, "fuzz", config, error);
    if (!parsed && error.empty()) std::abort();  // a refusal always says why
    if (!ParseProbeTarget(targetText, target, error)) return 0;
    if (target.host.empty() || target.port < 0 || target.port > 65535) std::abort();
    if (!parsed) return 0;
    for (const auto& [name, module] : config.modules) {
        if (module.spec == nullptr || !ReadOnlyCommand(module.spec->name)) std::abort();
        const TargetList& list = module.targets.Empty() ? config.targets : module.targets;
        list.Admits(target);
        if (list.Count(1000) > 1000) std::abort();
    }
    return 0;
}
