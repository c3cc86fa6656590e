// A change of settings as qdxctl checks it before it sends it, and the read-back after: which
// names exist and how the agent matches and stores their values come from the agent's own
// SetSettings table; the catalog adds the stricter rules qdxctl applies to values.
#pragma once

#include <string>
#include <vector>

#include "client/catalog.h"
#include "client/client.h"

struct SettingChange {
    std::string name;    // as SetSettings matches it
    SettingRule rule = SettingRule::Text;
    std::string given;   // the value as given (trimmed)
    std::string wire;    // the NAME=VALUE line as it travels (the filter list escaped)
    std::string stored;  // what the agent stores, in the form GetSettings reports it
};

// Checks one NAME=VALUE word. False with the reason in `error` (which names the item) for a name
// SetSettings does not take (with a near name when one exists), or a value outside its rule.
bool ParseSettingWord(const std::string& word, SettingChange& change, std::string& error);

// Checks every word; false at the first problem, or for a name given twice.
bool ParseSettingWords(const std::vector<std::string>& words, std::vector<SettingChange>& changes,
                       std::string& error);

// True for the settings whose change can cut the client off the read-back: the password, the
// port, the connection filter and the management right.
bool ChangesAccess(const SettingChange& change);

// The value GetSettings reports for setting `name` in `reply` (a "200" to GetSettings): its
// Key=Value line (the filter list decoded), or the switch of a test or action named so in the
// offered lists. False when GetSettings does not report the setting.
bool ReportedSetting(const QdxReplyText& reply, const std::string& name, std::string& value);

// GetSettings output with the password's value replaced by "********".
void MaskPassword(QdxReplyText& reply);
constexpr const char* kMaskedPassword = "********";
