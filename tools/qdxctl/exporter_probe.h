// One probe: a module's request sent to one target, answered as a Prometheus exposition:
// qdx_probe_success, qdx_probe_duration_seconds, qdx_probe_result_code and the reply's numeric
// values as gauges named from the catalog. A target that gives no reply answers success 0 and
// the duration only. Text-log modules go on from where the last probe of the target stopped
// and count the matched lines.
#pragma once

#include <string>

#include "exporter_config.h"
#include "exporter_metrics.h"
#include "exporter_textlog.h"

struct ProbeOutcome {
    bool success = false;
    double seconds = 0;
    std::string body;  // the exposition
};

// Probes `target` (its port settled, admitted by the caller) with `module`, within `timeoutMs`.
// `cap` bounds the text-log places the module keeps.
ProbeOutcome RunProbe(const ExporterModule& module, const ProbeTarget& target, int timeoutMs,
                      Exposition exposition, TextLogStore& logs, size_t cap);

// True for the text-log commands, whose modules keep a place per target.
bool IsTextLogModule(const ExporterModule& module);
