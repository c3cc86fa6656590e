// Where a log file named in the settings lives.
#pragma once

#include "foundation/string.h"

// A bare file name (no '/') is taken in the configuration file's folder when that path has one;
// any other name is used as it stands. An empty name stays empty (no log).
String LogFilePath(const String& file, const char* cfgfile);
