#include "handlers/file_macros.h"

#include <ctime>

#include "fileutils/paths.h"
#include "fileutils/search.h"

namespace {

struct Macro {
    const char* text;  // lower case, as found in the lower-cased path
    int length;
    bool folder;  // picks among directories, otherwise among everything else
    bool newest;  // the latest modification time, otherwise the earliest
};

const Macro kMacros[] = {
    {"%newestfile%", 12, false, true},
    {"%oldestfile%", 12, false, false},
    {"%newestfolder%", 14, true, true},
    {"%oldestfolder%", 14, true, false},
};

// The macro that comes first in `lower`, with its 1-based position; null when there is none.
const Macro* FirstMacro(const String& lower, int& position) {
    const Macro* first = nullptr;
    position = 0;
    for (const Macro& macro : kMacros) {
        int at = lower.Pos(macro.text, macro.length);
        if (at != 0 && (first == nullptr || at < position)) {
            first = &macro;
            position = at;
        }
    }
    return first;
}

// The name of the entry of `dir` that `macro` picks; false when no entry qualifies.
bool PickEntry(const String& dir, const Macro& macro, String& name) {
    TSearchRec rec;
    if (FindFirst(dir, "*", attrAny, rec) != 0) return false;
    TSearchScope scope(rec);
    bool found = false;
    time_t best = 0;
    do {
        // An entry on a file system that does not answer has no time to compare: no pick.
        if (rec.Unexamined) return false;
        if (IsDotName(rec.Name) || ((rec.Attr & attrDirectory) != 0) != macro.folder) continue;
        // A candidate at the epoch counts like any other: "found" is kept apart from the time.
        if (found && !(macro.newest ? rec.Time > best : rec.Time < best)) continue;
        found = true;
        best = rec.Time;
        name = rec.Name;
    } while (FindNext(rec) == 0);
    return found;
}

}  // namespace

String GetFileUsingSpecialMacros(const String& path) {
    String result;
    String rest(path);
    String lower(path);
    lower.LowerCase();
    for (;;) {
        int at = 0;
        const Macro* macro = FirstMacro(lower, at);
        if (macro == nullptr) return result + rest;
        result += rest.Copy(1, at - 1);
        rest.Delete(1, at - 1 + macro->length);
        lower.Delete(1, at - 1 + macro->length);
        String name;
        if (!PickEntry(result, *macro, name)) return path;
        result += name;
    }
}

String GetFirstMatchedFile(const String& path) {
    const String dir = ExtractFilePath(path);
    TSearchRec rec;
    if (FindFirst(dir, ExtractFileName(path), attrAny & ~attrDirectory, rec) != 0) return String();
    FindClose(rec);
    if ((rec.Attr & attrDirectory) != 0 || rec.Unexamined) return String();
    return dir + rec.Name;
}
