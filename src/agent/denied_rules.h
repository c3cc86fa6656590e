// What the agent denies to its checks, from its settings: the default entries, its own
// configuration folder and every file its settings name that holds a key or a password, and the
// entries of "denypaths". Kept in force by fileutils/denied_paths.h.
#pragma once

#include <string>
#include <vector>

#include "config/settings.h"
#include "fileutils/denied_paths.h"

// The entries for `settings`, each with the rule the failure log names.
std::vector<TDeniedRule> DeniedRulesOf(const TQDXSettings& settings);

// Puts the entries of `settings` in force, and keeps them in force with every settings change
// from now on; refusals are reported in the failure log.
void KeepDeniedPathsInForce(const TQDXSettings& settings);
