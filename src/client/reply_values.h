// Reads a reply's value lines by the catalog: each line gets its name and kind, list values their
// entries, times their ISO 8601 form. Used for labelled output, JSON and plugin checks.
#pragma once

#include <string>
#include <vector>

#include "client/catalog.h"
#include "client/client.h"

struct NamedValue {
    std::string name;
    ValueKind kind = ValueKind::Text;
    const char* unit = "";
    int record = 0;                  // 1-based record number of a file-list entry, else 0
    std::string wire;                // the line (or the part after "Key=") as received
    std::string text;                // decoded: list entries joined by LF, times in ISO 8601
    std::vector<std::string> items;  // the entries of a list
    // The value as a number, when its kind is numeric and the text is one.
    bool Number(double& number) const;
};

struct ReplyValues {
    std::string code;
    std::vector<std::string> reason;  // lines of a reply without named values, decoded
    std::vector<NamedValue> values;
    const NamedValue* Find(const std::string& name) const;
};

// The named values of `reply` to a request of `command` (null: unknown command, every line is a
// reason line) with parameter lines `params`.
ReplyValues ReadReplyValues(const CommandSpec* command, const std::vector<std::string>& params,
                            const QdxReplyText& reply);

// "DDMMYYYYhhmmss" as "YYYY-MM-DDThh:mm:ss"; anything else unchanged.
std::string IsoTime(const std::string& wire);
// A Key=Value key as a lower_case name: "OpenedConnections" is opened_connections.
std::string SnakeName(const std::string& key);
