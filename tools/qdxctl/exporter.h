// "qdxctl exporter": a Prometheus exporter for qdx agents in the multi-target pattern. Prometheus
// scrapes /probe?target=HOST[:PORT]&module=NAME; the exporter sends the module's read-only
// request to the target, if the modules file admits it, and answers in the text format or
// OpenMetrics. /metrics carries the exporter's own figures.
#pragma once

#include <string>

struct ExporterOptions {
    std::string listen = "127.0.0.1:9732";  // ADDR:PORT; [ADDR]:PORT for IPv6
    std::string config;                     // the modules file
    std::string stateDir;                   // text-log places; empty: memory only
    bool checkOnly = false;                 // read the modules file, report and exit
};

// Serves until SIGTERM or SIGINT; returns qdxctl's exit status (64 for a modules file or a
// listening address that cannot be used).
int RunExporter(const ExporterOptions& options);
