// Threshold ranges of the monitoring-plugin guidelines: "10" (0 to 10), "10:" (10 to infinity),
// "~:10" (minus infinity to 10), "10:20", and "@10:20" (alert inside instead of outside). Ends
// are included.
#pragma once

#include <string>
#include <string_view>

struct ThresholdRange {
    double start = 0;
    double end = 0;
    bool inside = false;  // "@": alert when the value lies in [start, end]
    bool set = false;     // a range was given
    std::string text;     // as given, for performance data

    // True when `value` calls for an alert.
    bool Alerts(double value) const;
};

// False with the reason in `error` when `text` is not a range.
bool ParseThresholdRange(std::string_view text, ThresholdRange& range, std::string& error);
