#include "client/perf_data.h"

#include <cctype>
#include <cstring>

namespace {

constexpr size_t kMaxItems = 1024;

const char* const kUnits[] = {"s", "ms", "us", "%", "B", "KB", "MB", "GB", "TB", "c"};

std::string QuotedLabel(const std::string& label) {
    if (!label.empty() && label.find_first_of(" '=") == std::string::npos) return label;
    std::string quoted = "'";
    for (char c : label) {
        quoted += c;
        if (c == '\'') quoted += '\'';
    }
    return quoted + "'";
}

// Splits "12.5ms" into number and unit; false when the number is not one.
bool SplitValue(std::string_view text, PerfDatum& datum) {
    if (text == "U") {
        datum.value = "U";
        return true;
    }
    size_t i = 0;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) i++;
    size_t digits = 0;
    for (; i < text.size() && (std::isdigit(static_cast<unsigned char>(text[i])) || text[i] == '.');
         i++)
        digits += std::isdigit(static_cast<unsigned char>(text[i])) ? 1 : 0;
    if (digits == 0) return false;
    datum.value = std::string(text.substr(0, i));
    datum.unit = std::string(text.substr(i));
    return datum.unit.size() <= 8;
}

}  // namespace

const char* PerfUnit(const char* unit) {
    for (const char* known : kUnits)
        if (std::strcmp(unit, known) == 0) return unit;
    return "";
}

std::string FormatPerfDatum(const PerfDatum& datum) {
    return QuotedLabel(datum.label) + "=" + datum.value + datum.unit + ";" + datum.warn + ";" +
           datum.crit + ";" + datum.min + ";" + datum.max;
}

std::string FormatPerfData(const std::vector<PerfDatum>& data) {
    std::string text;
    for (const PerfDatum& datum : data) text += (text.empty() ? "" : " ") + FormatPerfDatum(datum);
    return text;
}

bool ParsePerfData(std::string_view text, std::vector<PerfDatum>& data) {
    bool clean = true;
    size_t i = 0;
    while (i < text.size() && data.size() < kMaxItems) {
        while (i < text.size() && text[i] == ' ') i++;
        if (i >= text.size()) break;
        PerfDatum datum;
        bool ok = true;
        if (text[i] == '\'') {
            for (i++;; i++) {
                if (i >= text.size()) {
                    ok = false;
                    break;
                }
                if (text[i] == '\'') {
                    if (i + 1 < text.size() && text[i + 1] == '\'') {
                        datum.label += '\'';
                        i++;
                        continue;
                    }
                    i++;
                    break;
                }
                datum.label += text[i];
            }
        } else {
            while (i < text.size() && text[i] != '=' && text[i] != ' ') datum.label += text[i++];
        }
        ok = ok && i < text.size() && text[i] == '=' && !datum.label.empty();
        if (ok) i++;
        size_t end = text.find(' ', i);
        if (end == std::string_view::npos) end = text.size();
        std::string_view rest = ok ? text.substr(i, end - i) : std::string_view();
        i = end;
        if (!ok) {
            clean = false;
            continue;
        }
        std::string* fields[] = {nullptr, &datum.warn, &datum.crit, &datum.min, &datum.max};
        size_t field = 0, start = 0;
        for (size_t k = 0; k <= rest.size() && field < 5; k++) {
            if (k < rest.size() && rest[k] != ';') continue;
            std::string_view piece = rest.substr(start, k - start);
            if (field == 0)
                ok = SplitValue(piece, datum);
            else
                *fields[field] = std::string(piece);
            field++;
            start = k + 1;
        }
        if (ok)
            data.push_back(std::move(datum));
        else
            clean = false;
    }
    return clean;
}
