#include "client/settings_change.h"

#include <arpa/inet.h>

#include <cctype>
#include <climits>

#include "client/reply_values.h"
#include "foundation/string.h"
#include "handlers/agent_info.h"
#include "net/iplist.h"

namespace {

std::string Std(const String& text) {
    return std::string(text.Data() ? text.Data() : "", static_cast<size_t>(text.Length()));
}

String Bytes(const std::string& text) {
    return String(text.data(), static_cast<int>(text.size()));
}

std::string AgentTrimmed(const std::string& text) {
    String trimmed = Bytes(text);
    return Std(trimmed.Trim());
}

std::string Folded(const std::string& name) {
    std::string folded;
    for (char c : name)
        if (std::isalnum(static_cast<unsigned char>(c)))
            folded += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return folded;
}

bool Known(const std::string& name) {
    for (const SettingName& known : SetSettingsNames())
        if (name == known.name) return true;
    return false;
}

std::string Unknown(const std::string& name) {
    std::string text = "SetSettings takes no setting \"" + name + "\"";
    for (const SettingName& known : SetSettingsNames())
        if (Folded(known.name) == Folded(name) && !Folded(name).empty())
            return text + " (did you mean \"" + known.name + "\"?)";
    return text;
}

bool Digits(const std::string& text, long long low, long long high) {
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    long long value = std::stoll(text);
    return value >= low && value <= high;
}

std::vector<std::string> Split(const std::string& text, const char* separators) {
    std::vector<std::string> items;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find_first_of(separators, start);
        if (end == std::string::npos) end = text.size();
        items.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return items;
}

// Address lists of the rights: addresses, ranges a-b and prefixes of either family, separated by
// commas; blanks around them are dropped by the agent as well. Read as the agent reads them.
bool AddressList(const std::string& value, std::string& why) {
    std::vector<std::string> bad = UnreadableEntries(Bytes(value), false);
    if (bad.empty()) return true;
    why = "\"" + bad.front() + "\" is not an address, a range a-b or a prefix";
    return false;
}

// The connection filter's entries, separated by commas or blanks; they travel on escaped lines.
bool FilterEntries(const std::string& value, std::string& wire, std::string& why) {
    wire.clear();
    for (const std::string& entry : Split(value, ", \t")) {
        if (entry.empty()) continue;
        AddressRange range;
        if (!ParseAddressEntry(entry, V4Form::Dotted, range)) {
            why = "\"" + entry + "\" is not an address, a range a-b or a prefix";
            return false;
        }
        wire += (wire.empty() ? "" : "%0D%0A") + entry;
    }
    return true;
}

bool CheckValue(SettingChange& change, std::string& why) {
    const std::string& value = change.given;
    switch (change.rule) {
        case SettingRule::Flag:
            why = "give 0 or 1";
            return value == "0" || value == "1";
        case SettingRule::Port:
            why = "give a port from 1 to 65535";
            return Digits(value, 1, 65535);
        case SettingRule::Milliseconds:
            why = "give milliseconds from 0 (the default, 4000) to 2147483647";
            return Digits(value, 0, INT_MAX);
        case SettingRule::Text: return true;
        case SettingRule::Password:
            why = "the password cannot be empty";
            return !value.empty();
        case SettingRule::Addresses: return AddressList(value, why);
        case SettingRule::FilterEntries: {
            std::string entries;
            if (!FilterEntries(value, entries, why)) return false;
            change.wire = change.name + "=" + entries;
            return true;
        }
        case SettingRule::FilterMarks:
            why = "give one 0 or 1 per filter entry";
            return value.find_first_not_of("01") == std::string::npos;
    }
    return false;
}

// The decoded entries of a Key=Value list line.
std::vector<std::string> ListEntries(const std::string& wire) {
    String decoded = qdxDecodeStrings(Bytes(wire));
    std::vector<std::string> entries;
    for (std::string& entry : Split(Std(decoded), "\n")) {
        if (!entry.empty() && entry.back() == '\r') entry.pop_back();
        if (!entry.empty()) entries.push_back(entry);
    }
    return entries;
}

// The switch of `name` in an offered list ("Available tests") and its switches ("Enabled tests").
bool OfferedSwitch(const std::vector<std::pair<std::string, std::string>>& lines,
                   const char* listKey, const char* switchKey, const std::string& name,
                   std::string& value) {
    std::string list, switches;
    bool haveList = false, haveSwitches = false;
    for (const auto& [key, wire] : lines) {
        if (key == listKey) list = wire, haveList = true;
        if (key == switchKey) switches = wire, haveSwitches = true;
    }
    if (!haveList || !haveSwitches) return false;
    std::vector<std::string> names = ListEntries(list);
    for (size_t i = 0; i < names.size() && i < switches.size(); i++)
        if (names[i] == name) {
            value = switches.substr(i, 1);
            return true;
        }
    return false;
}

}  // namespace

bool ParseSettingWord(const std::string& word, SettingChange& change, std::string& error) {
    size_t equals = word.find('=');
    if (equals == std::string::npos) {
        error = "\"" + word + "\" is not NAME=VALUE";
        return false;
    }
    change.name = Std(String(Bytes(word.substr(0, equals))).Trim());
    change.given = AgentTrimmed(word.substr(equals + 1));
    if (!Known(change.name) || FindSetting(change.name) == nullptr) {
        error = Unknown(change.name);
        return false;
    }
    if (word.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
        error = change.name + ": a value cannot hold a line break or a NUL byte";
        return false;
    }
    change.rule = FindSetting(change.name)->rule;
    change.wire = change.name + "=" + change.given;
    std::string why;
    if (!CheckValue(change, why)) {
        error = change.name + "=" + change.given + ": " + why;
        return false;
    }
    String stored;
    std::string wireValue = change.wire.substr(change.name.size() + 1);
    if (!SetSettingsStoredValue(Bytes(change.name), Bytes(wireValue), stored)) {
        error = change.name + ": the agent would refuse this value (too long for its "
                              "configuration file)";
        return false;
    }
    change.stored = Std(stored);
    return true;
}

bool ParseSettingWords(const std::vector<std::string>& words, std::vector<SettingChange>& changes,
                       std::string& error) {
    changes.clear();
    if (words.empty()) {
        error = "give one or more NAME=VALUE";
        return false;
    }
    for (const std::string& word : words) {
        SettingChange change;
        if (!ParseSettingWord(word, change, error)) return false;
        for (const SettingChange& earlier : changes)
            if (earlier.name == change.name) {
                error = change.name + " is given twice";
                return false;
            }
        changes.push_back(change);
    }
    return true;
}

bool ChangesAccess(const SettingChange& change) {
    for (const char* name : {"Password", "Port", "IPFiltering", "IPFilterAddr", "IPFilterMarks",
                             "AllowRManage", "ManageAddr"})
        if (change.name == name) return true;
    return false;
}

bool ReportedSetting(const QdxReplyText& reply, const std::string& name, std::string& value) {
    std::vector<std::pair<std::string, std::string>> lines;
    ForEachReplyLine(reply.text, [&](std::string_view line) {
        size_t equals = line.find('=');
        if (equals == std::string_view::npos) return;
        lines.emplace_back(std::string(line.substr(0, equals)),
                           std::string(line.substr(equals + 1)));
    });
    for (const auto& [key, wire] : lines)
        if (key == name) {
            value = name == "IPFilterAddr" ? Std(qdxDecodeStrings(Bytes(wire))) : wire;
            return true;
        }
    return OfferedSwitch(lines, "Available tests", "Enabled tests", name, value) ||
           OfferedSwitch(lines, "Available actions", "Enabled actions", name, value);
}

void MaskPassword(QdxReplyText& reply) {
    const std::string key = "\nPassword=";
    size_t at = reply.text.find(key);
    if (at == std::string::npos) return;
    size_t start = at + key.size();
    size_t end = reply.text.find('\n', start);
    if (end == std::string::npos) return;
    reply.text.replace(start, end - start, kMaskedPassword);
}
