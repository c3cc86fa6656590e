// File names given indirectly: a path may name the newest or oldest file or folder of a directory
// through a macro, or the first file that matches a wildcard in its last component. Both
// functions only read the file system and keep no state, so any thread may call them.
#pragma once

#include "foundation/string.h"

// `path` with every macro replaced by a name: "%newestfile%", "%oldestfile%", "%newestfolder%"
// and "%oldestfolder%" (any ASCII case) stand for the entry of that kind with the latest or
// earliest modification time in the directory written before the macro (the working directory
// when nothing precedes it); the first in directory order wins a tie, and later macros resolve
// below the names already chosen. When a macro finds nothing, the whole of `path` comes back
// unchanged, macro included. Links are never candidates.
String GetFileUsingSpecialMacros(const String& path);

// The directory part of `path` followed by the first entry in directory order that matches the
// pattern in its last component and is no directory (nor link); empty when there is none.
String GetFirstMatchedFile(const String& path);
