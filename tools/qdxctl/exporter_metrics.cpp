#include "exporter_metrics.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Only [a-zA-Z0-9_] in a name; anything else becomes "_".
std::string NameCharacters(std::string text) {
    for (char& c : text)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')))
            c = '_';
    return text;
}

std::string EscapedHelp(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string EscapedLabel(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

// A name with its unit suffix replaced: "elapsed_ms" with "_ms" -> "elapsed_seconds".
std::string WithUnit(const std::string& name, const char* from, const char* to) {
    std::string base = EndsWith(name, from) ? name.substr(0, name.size() - std::string(from).size())
                                            : name;
    return EndsWith(base, to) ? base : base + to;
}

}  // namespace

Exposition ExpositionFor(const std::string& accept) {
    return accept.find("application/openmetrics-text") != std::string::npos
               ? Exposition::OpenMetrics
               : Exposition::Text;
}

const char* ContentType(Exposition exposition) {
    return exposition == Exposition::OpenMetrics
               ? "application/openmetrics-text; version=1.0.0; charset=utf-8"
               : "text/plain; version=0.0.4; charset=utf-8";
}

void MetricWriter::Family(const std::string& name, const char* type, const std::string& help) {
    counter_ = std::string(type) == "counter";
    family_ = name;
    std::string described = exposition_ == Exposition::Text && counter_ ? name + "_total" : name;
    if (exposition_ == Exposition::OpenMetrics) {
        out_ += "# TYPE " + described + " " + type + "\n";
        out_ += "# HELP " + described + " " + EscapedHelp(help) + "\n";
    } else {
        out_ += "# HELP " + described + " " + EscapedHelp(help) + "\n";
        out_ += "# TYPE " + described + " " + type + "\n";
    }
}

void MetricWriter::Sample(const Labels& labels, double value) {
    out_ += counter_ ? family_ + "_total" : family_;
    if (!labels.empty()) {
        out_ += '{';
        for (size_t i = 0; i < labels.size(); i++) {
            if (i > 0) out_ += ',';
            out_ += NameCharacters(labels[i].first) + "=\"" + EscapedLabel(labels[i].second) + "\"";
        }
        out_ += '}';
    }
    out_ += ' ' + MetricValue(value) + '\n';
}

std::string MetricWriter::Finish() {
    if (exposition_ == Exposition::OpenMetrics) out_ += "# EOF\n";
    return std::move(out_);
}

std::string MetricPrefix(const CommandSpec& command) {
    std::string word = command.name;
    if (word.rfind("TEST-", 0) == 0) word = word.substr(5);
    if (word.rfind("Get", 0) == 0) word = word.substr(3);
    for (char& c : word)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return "qdx_" + NameCharacters(word);
}

MetricName MetricFor(const CommandSpec& command, const ValueSpec& value) {
    MetricName metric;
    std::string name = value.name;
    std::string unit = value.unit != nullptr ? value.unit : "";
    if (unit == "ms") {
        name = WithUnit(name, "_ms", "_seconds");
        metric.scale = 0.001;
    } else if (unit == "min") {
        name = WithUnit(name, "_min", "_seconds");
        metric.scale = 60;
    } else if (unit == "s") {
        name = WithUnit(name, "_s", "_seconds");
    } else if (unit == "B") {
        name = WithUnit(name, "_b", "_bytes");
    } else if (unit == "%") {
        name = WithUnit(name, "_pct", "_percent");
    }
    metric.name = MetricPrefix(command) + "_" + NameCharacters(name);
    return metric;
}

std::string MetricValue(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    char text[40];
    if (value == std::floor(value) && std::fabs(value) < 1e15) {
        std::snprintf(text, sizeof text, "%.0f", value);  // counts and sizes in full
        return text;
    }
    // The shortest form that reads back as the same number.
    for (int digits = 6; digits <= 17; digits++) {
        std::snprintf(text, sizeof text, "%.*g", digits, value);
        if (std::strtod(text, nullptr) == value) break;
    }
    return text;
}
