// Path splitting and joining. '/' is the only delimiter, bytes are single characters, and
// positions are 1-based as everywhere in String. Nothing here touches the file system except
// ExpandFileName, which reads the working directory for a relative name.
#pragma once

#include "foundation/string.h"

// True when 1 <= i <= s.Length() and byte i of s is '/'.
bool IsPathDelimiter(const String& s, int i);
// True when 1 <= i <= s.Length() and byte i of s is one of the characters of `delims`.
bool IsDelimiter(const char* delims, const String& s, int i);
// Position of the last byte of s that is one of `delims`; 0 when there is none.
int LastDelimiter(const char* delims, const String& s);

// s with a '/' appended unless it already ends in one; an empty s gives "/".
String IncludeTrailingPathDelimiter(const String& s);
// s without its last byte when that byte is '/' (one only); "/" gives an empty string.
String ExcludeTrailingPathDelimiter(const String& s);
// The bytes up to and including the last '/'; empty when s has none.
String ExtractFilePath(const String& s);
// The bytes after the last '/' (all of s when it has none), cut to 4095 bytes.
String ExtractFileName(const String& s);
// From the last '.' to the end, dot included, when that '.' follows the last '/'; else empty.
String ExtractFileExt(const String& s);
// s unchanged: a leading '~' is not expanded.
String ExpandTilde(const String& s);
// The absolute, normalised form of s: relative names are taken in the working directory, runs
// of '/' collapse, "." components go and ".." removes the component before it (never the root).
// A name beginning with '~' is returned unchanged; an empty name gives an empty result.
String ExpandFileName(const String& s);
