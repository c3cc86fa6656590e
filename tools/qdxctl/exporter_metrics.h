// The Prometheus expositions the exporter answers in: the text format 0.0.4 and, when the scraper
// asks for it, OpenMetrics 1.0; and the names, help texts and scales of metrics taken from the
// command catalog (base units: milliseconds and minutes become seconds).
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "client/catalog.h"

enum class Exposition { Text, OpenMetrics };

// The exposition an Accept header asks for: OpenMetrics when it names
// application/openmetrics-text, the text format otherwise.
Exposition ExpositionFor(const std::string& accept);
// The Content-Type of an exposition.
const char* ContentType(Exposition exposition);

using Labels = std::vector<std::pair<std::string, std::string>>;

// Builds one exposition. Families are written in the order they are opened; all samples of a
// family follow its metadata. A counter family is named without "_total"; its samples get it.
class MetricWriter {
public:
    explicit MetricWriter(Exposition exposition) : exposition_(exposition) {}
    void Family(const std::string& name, const char* type, const std::string& help);
    // A sample of the family opened last.
    void Sample(const Labels& labels, double value);
    // The exposition, "# EOF" closing an OpenMetrics one.
    std::string Finish();

private:
    Exposition exposition_;
    std::string family_;
    bool counter_ = false;
    std::string out_;
};

// A metric for a numeric reply value: qdx_<command>_<value> in base units, and the factor that
// turns the value into them.
struct MetricName {
    std::string name;
    double scale = 1;
};
MetricName MetricFor(const CommandSpec& command, const ValueSpec& value);
// "qdx_<command>": TEST-UNC gives qdx_unc, GetInfo qdx_info, TEST-Plugin qdx_plugin.
std::string MetricPrefix(const CommandSpec& command);
// A value as Prometheus reads it ("12.5", "1e+20", "NaN").
std::string MetricValue(double value);
