// "GetFilesList": the subfolders and files of one folder with the fields the server asks for.
#pragma once

#include <cstddef>

#include "foundation/string.h"
#include "protocol/reply.h"
#include "protocol/request.h"

// What to list and which fields to add per entry.
struct TFileListQuery {
    String folder;  // as requested; empty means "/"
    String mask;    // wildcard pattern for files; empty means "*"
    bool subfolders = false;
    bool files = false;
    bool hidden = false;
    bool system = false;
    bool size = false;
    bool changeTime = false;
    bool modifyTime = false;
};

// Allowed when any file test switch is on ("foldersize", "countfiles", "fileexists", "filecrc",
// "comparefiles", "textlog"). Replies "200", the folder searched (ending in '/'), the entry count,
// the field count, then the fields of every entry: subfolders (".." included, "." not), then
// files. Entries whose names hold CR or LF are left out: names travel unescaped, and such a name
// would break the reply into forged lines.
void ProcessInfo_GetFileList(const ZPRequest& request, QDXReply& reply);

// Fills `reply` for `query`. Listing stops at the first entry whose lines would pass
// `maxEntryBytes` (no file follows a subfolder left out), so that a folder of millions of entries
// cannot exhaust memory; the count matches what is listed.
void ListFolder(const TFileListQuery& query, QDXReply& reply, size_t maxEntryBytes);
