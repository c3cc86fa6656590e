// Reads a reply's value lines by the catalog: each line gets its name and kind, list values their
// entries, times their ISO 8601 form; values the catalog derives from them follow. Used for
// labelled output, JSON and plugin checks. A file list is read one field at a time
// (VisitReplyValues), so that a reply of hundreds of megabytes is never held twice.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "client/catalog.h"
#include "client/client.h"

struct NamedValue {
    std::string name;
    ValueKind kind = ValueKind::Text;
    const char* unit = "";
    int record = 0;                  // 1-based record number of a file-list entry, else 0
    bool derived = false;            // computed by the client from the reply's values
    std::string wire;                // the line (or the part after "Key=") as received
    std::string text;                // decoded: list entries joined by LF, times in ISO 8601
    std::vector<std::string> items;  // the entries of a list
    // The value as a number: only a finite decimal number ("12", "-3", "12.5000", blanks around
    // allowed) of a numeric kind; "nan", "inf", "1e5", "0x10" and "U" are not numbers.
    bool Number(double& number) const;
};

struct ReplyValues {
    std::string code;
    std::vector<std::string> reason;  // lines of a reply without named values, decoded
    std::vector<NamedValue> values;
    const NamedValue* Find(const std::string& name) const;
};

// Receives the reply's result code once, then every value in order, then every reason line.
struct ReplyVisitor {
    std::function<void(const std::string& code)> code;
    std::function<void(NamedValue&& value)> value;
    std::function<void(std::string&& reason)> reason;
};

// Walks the named values of `reply` to a request of `command` (null: unknown command, every line
// is a reason line) with parameter lines `params`, without holding them all.
void VisitReplyValues(const CommandSpec* command, const std::vector<std::string>& params,
                      const QdxReplyText& reply, const ReplyVisitor& visitor);
// The same, collected.
ReplyValues ReadReplyValues(const CommandSpec* command, const std::vector<std::string>& params,
                            const QdxReplyText& reply);

// Calls `line` for every line after the result line, without the final CR mark.
void ForEachReplyLine(std::string_view text, const std::function<void(std::string_view)>& line);

// "DDMMYYYYhhmmss" as "YYYY-MM-DDThh:mm:ss"; anything else unchanged.
std::string IsoTime(const std::string& wire);
// A Key=Value key as a lower_case name: "OpenedConnections" is opened_connections.
std::string SnakeName(const std::string& key);
// True when `text` is a finite decimal number (see NamedValue::Number), stored in `number`.
bool DecimalNumber(std::string_view text, double& number);

// The derived values of TEST-UNC, as the df command computes its percentages: used = total -
// free; used_percent = used / (used + available); available_percent = available / (used +
// available); free_percent = free / total. "U" where the divisor is not above 0.
void DeriveFreeSpace(ReplyValues& values);
