// The file and folder tests: free space, folder size, file presence and age, file comparison,
// file checksum and file count. Each answers "600" when its settings switch is off.
#pragma once

#include "protocol/reply.h"
#include "protocol/request.h"

// "TEST-UNC" (switch "unc"): total, free and available bytes of the file system holding a path.
void ProcessTest_UNC(const ZPRequest& request, QDXReply& reply);
// "TEST-FolderSize" (switch "foldersize"): bytes in a folder or matching a pattern.
void ProcessTest_FolderSize(const ZPRequest& request, QDXReply& reply);
// "TEST-FileExists" (switch "fileexists"): size, times, name and age of a file.
void ProcessTest_FileExists(const ZPRequest& request, QDXReply& reply);
// "TEST-FileCompare" (switch "comparefiles"): two files alike, or one's content or a text in a
// file.
void ProcessTest_FileCompare(const ZPRequest& request, QDXReply& reply);
// "TEST-FileCRC" (switch "filecrc"): CRC-32 of a file's content.
void ProcessTest_FileCRC(const ZPRequest& request, QDXReply& reply);
// "TEST-CountFiles" (switch "countfiles"): entries of a folder that meet a condition.
void ProcessTest_CountFiles(const ZPRequest& request, QDXReply& reply);
