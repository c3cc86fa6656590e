#include "client/threshold.h"

#include <cmath>
#include <cstdlib>
#include <limits>

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

bool ParseNumber(std::string_view text, double& number) {
    if (text.empty() || text.size() > 64) return false;
    std::string copy(text);
    char* end = nullptr;
    number = std::strtod(copy.c_str(), &end);
    return end == copy.c_str() + copy.size() && std::isfinite(number) &&
           copy.find_first_of("xXnN") == std::string::npos;  // no hex, nan or inf spellings
}

}  // namespace

bool ThresholdRange::Alerts(double value) const {
    if (!set) return false;
    bool within = value >= start && value <= end;
    return inside ? within : !within;
}

bool ParseThresholdRange(std::string_view text, ThresholdRange& range, std::string& error) {
    range = ThresholdRange();
    range.text = std::string(text);
    std::string_view rest = text;
    if (!rest.empty() && rest[0] == '@') {
        range.inside = true;
        rest.remove_prefix(1);
    }
    size_t colon = rest.find(':');
    std::string_view startText = colon == std::string_view::npos ? "" : rest.substr(0, colon);
    std::string_view endText = colon == std::string_view::npos ? rest : rest.substr(colon + 1);
    bool ok = true;
    if (startText == "~")
        range.start = -kInfinity;
    else if (!startText.empty())
        ok = ParseNumber(startText, range.start);
    if (colon != std::string_view::npos && endText.empty())
        range.end = kInfinity;
    else
        ok = ok && ParseNumber(endText, range.end);
    if (ok && range.start > range.end) {
        error = "range " + range.text + ": the start lies above the end";
        return false;
    }
    if (!ok) {
        error = "not a threshold range: \"" + range.text + "\" (10, 10:, ~:10, 10:20, @10:20)";
        return false;
    }
    range.set = true;
    return true;
}
