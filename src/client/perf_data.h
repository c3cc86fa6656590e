// Performance data as the monitoring-plugin guidelines write it:
//   'label'=value[UOM];[warn];[crit];[min];[max]
// items separated by blanks, labels quoted when they hold blanks, "=" or quotes (a quote inside
// doubled). Written for qdxctl's own checks, read from the output of plugins that the agent runs.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct PerfDatum {
    std::string label;
    std::string value;  // a decimal number, or "U" when it could not be determined
    std::string unit;   // "", "s", "ms", "us", "%", "B", "KB", "MB", "TB", "c"
    std::string warn, crit, min, max;
};

// The item as the guidelines write it, every field present (empty ones as "").
std::string FormatPerfDatum(const PerfDatum& datum);
// Items separated by single blanks.
std::string FormatPerfData(const std::vector<PerfDatum>& data);

// Reads the performance data after a plugin's "|". Items that do not read are skipped; false when
// one was (the rest is still read). Never reads more than 1024 items.
bool ParsePerfData(std::string_view text, std::vector<PerfDatum>& data);

// `unit` when it is one the guidelines name, else "".
const char* PerfUnit(const char* unit);
