#include "handlers/file_tests.h"

#include <cerrno>
#include <cstdint>
#include <ctime>

#include "config/messages.h"
#include "config/settings.h"
#include "fileutils/file_facts.h"
#include "fileutils/fs_guard.h"
#include "handlers/file_content.h"
#include "handlers/file_macros.h"
#include "handlers/folder_stats.h"
#include "handlers/path_param.h"
#include "platform/error_text.h"
#include "platform/filesystem.h"
#include "protocol/decoders.h"

namespace {

// False, with the reply set to "600", when the test's switch is off.
bool Allowed(int TQDXSettings::*testSwitch, QDXReply& reply) {
    if (CurrentSettings().get()->*testSwitch) return true;
    reply.SetResult("600") += "test is not allowed";
    return false;
}

String Param(const ZPRequest& request, int index) {
    return request.GetParam(index, 1);
}

bool BoolParam(const ZPRequest& request, int index) {
    return qdxDecodeBool(Param(request, index));
}

// Path parameter `index`, passed through the file-name macros when the flag at `macroIndex` is
// set.
String PathParam(const ZPRequest& request, int index, int macroIndex) {
    String path = GetPathParam(request, index);
    if (macroIndex > 0 && BoolParam(request, macroIndex)) path = GetFileUsingSpecialMacros(path);
    return path;
}

// A zero-terminated copy for the system calls.
String CPath(const String& path) {
    String copy(path);
    copy.SetZero();
    return copy;
}

bool IsRegularFile(const String& path) {
    return FileExists(CPath(path).Data());
}

void Fail(QDXReply& reply, const char* code, const char* reason) {
    reply.SetResult(code) += reason;
}

// Descriptors running out is the agent's trouble, not the folder's: the reply keeps its fixed
// text, and the failure log gets the real reason.
void NoteWalkFailure(QDXReply& reply, const String& path, int error) {
    if (error != EMFILE && error != ENFILE) return;
    reply.NoteFailure(String("Cannot walk '") + LogSafe(path) + "': " + SystemErrorText(error));
}

// A file of the comparison is missing, or on a file system that does not answer, which reads as
// an I/O error.
void FailMissing(QDXReply& reply) {
    if (FsRequestRefused()) Fail(reply, "301", "I/O Error");
}

}  // namespace

void ProcessTest_UNC(const ZPRequest& request, QDXReply& reply) {
    if (!Allowed(&TQDXSettings::unc, reply)) return;
    String path = GetPathParam(request, 1);
    if (path.Length() == 0) return Fail(reply, "501", "Path not specified");
    if (path[path.Length()] == '\\') path.Delete(path.Length(), 1);
    TFileSystemUsage usage;
    TFsCall call;
    int error = call.EnterPath(CPath(path).Data()) ? GetFileSystemUsage(CPath(path).Data(), usage)
                                                   : ETIMEDOUT;
    if (error != 0) {
        reply.SetResult("301");
        String text = SystemErrorText(error);
        if (text.Length() > 0) reply.AddStringParam(text, 1);
        return;
    }
    reply.SetResult("200");
    reply.AddIntParam(usage.total);
    reply.AddIntParam(usage.free);
    reply.AddIntParam(usage.available);
}

void ProcessTest_FolderSize(const ZPRequest& request, QDXReply& reply) {
    if (!Allowed(&TQDXSettings::foldersize, reply)) return;
    String path = PathParam(request, 1, 8);
    // An empty path names nothing (not the agent's working directory).
    int error = 0;
    double size = path.Length() > 0 ? GetFolderSize(path, BoolParam(request, 2),
                                                    CurrentSettings()->walkworkers, &error)
                                    : -1;
    if (size < 0) {
        NoteWalkFailure(reply, path, error);
        return Fail(reply, "301", "Folder/File doesn`t exist or access denied");
    }
    reply.SetResult("200");
    reply.AddIntParam(size);
}

void ProcessTest_FileExists(const ZPRequest& request, QDXReply& reply) {
    if (!Allowed(&TQDXSettings::fileexists, reply)) return;
    String name = PathParam(request, 1, 7);
    int64_t size = 0;
    time_t changed = 0, modified = 0;
    bool found = GetFileInfo(CPath(name).Data(), size, changed, modified);
    if (!found) {
        String match = GetFirstMatchedFile(name);
        if (match.Length() > 0) {
            name = match;
            found = GetFileInfo(CPath(name).Data(), size, changed, modified);
        }
    }
    if (!found) return Fail(reply, "301", "no such file or acess denied");
    // The age agrees with the modification time sent, which the reply's form may have clamped.
    // In the int form ("%d") while it fits; a file dated thousands of years ahead gets its exact
    // age all the same, where a cut value would contradict the time sent.
    modified = ClampToWireTime(modified);
    const long long age = (static_cast<long long>(time(nullptr)) - modified) / 60;
    reply.SetResult("200");
    reply.AddIntParam(static_cast<double>(size));
    reply.AddTimeParam(changed);
    reply.AddTimeParam(modified);
    // A name found in a directory may hold line breaks; escaped, it stays one line.
    reply.AddStringParam(name, 1);
    reply.AddStringParam("min", 0);
    reply.AddVarParams("%lld", age);
}

namespace {

// Mode "1": the two files alike by the chosen criteria. Returns 1, 0 or -1 on a read error.
int CompareByFlags(const String& first, const String& second, bool times, bool sizes,
                   bool contents) {
    if (times && FileAge(CPath(first).Data()) != FileAge(CPath(second).Data())) return 0;
    int result = 1;
    if (sizes) result = FileSize(CPath(first).Data()) == FileSize(CPath(second).Data()) ? 1 : 0;
    if (result == 1 && contents) result = CompareFiles(first, second);
    return result;
}

void AnswerFound(QDXReply& reply, double result) {
    if (result < 0) return Fail(reply, "301", "I/O Error");
    reply.SetResult("200");
    reply.AddBoolParam(result != 0);
}

}  // namespace

void ProcessTest_FileCompare(const ZPRequest& request, QDXReply& reply) {
    if (!Allowed(&TQDXSettings::comparefiles, reply)) return;
    Fail(reply, "301", "File doesn`t exist");
    const String mode = Param(request, 1);
    // Where the two macro flags stand depends on the mode.
    int firstFlag = 0, secondFlag = 0;
    if (mode == "1" || mode == "4") {
        firstFlag = 12;
        secondFlag = 13;
    } else if (mode == "2") {
        firstFlag = 9;
        secondFlag = 10;
    } else if (mode == "3") {
        firstFlag = 11;
        secondFlag = 12;
    }
    const String first = PathParam(request, 2, firstFlag);
    if (!IsRegularFile(first)) return FailMissing(reply);

    if (mode == "1") {
        const String second = PathParam(request, 3, secondFlag);
        if (!IsRegularFile(second)) return FailMissing(reply);
        int result = CompareByFlags(first, second, BoolParam(request, 4), BoolParam(request, 5),
                                    BoolParam(request, 6));
        return AnswerFound(reply, result);
    }
    if (mode == "2") {
        // The second file is never passed through the macros in this mode.
        const String second = GetPathParam(request, 3);
        if (!IsRegularFile(second)) return FailMissing(reply);
        if (FileSize(CPath(second).Data()) > kMaxFileInFile)
            return Fail(reply, "301", "The size of the second file cannot exceed 8Mb");
        return AnswerFound(reply, FindFileInFile(first, second));
    }
    if (mode == "3") {
        double result =
            FindStrInFile(first, Param(request, 3), BoolParam(request, 4), BoolParam(request, 5));
        return AnswerFound(reply, result);
    }
    Fail(reply, "501", "Wrong parameter");
}

void ProcessTest_FileCRC(const ZPRequest& request, QDXReply& reply) {
    if (!Allowed(&TQDXSettings::filecrc, reply)) return;
    uint32_t crc = 0;
    String message;
    if (!GetFileCRC(GetPathParam(request, 1), crc, message)) {
        reply.SetResult("301") += message;
        return;
    }
    reply.SetResult("200");
    reply.AddIntParam(static_cast<double>(crc));
}

void ProcessTest_CountFiles(const ZPRequest& request, QDXReply& reply) {
    if (!Allowed(&TQDXSettings::countfiles, reply)) return;
    const String folder = PathParam(request, 1, 11);
    const int mode = qdxDecodeInt(Param(request, 4));
    int value = 0;
    if (mode < AllFiles || mode > SubFolders || !qdxDecodeInt(Param(request, 5), value))
        return Fail(reply, "501", "Wrong parameter");
    int error = 0;
    int count = folder.Length() == 0
                    ? -1
                    : CountFiles(folder, GetPathParam(request, 2), BoolParam(request, 3),
                                 static_cast<TCountFilesMode>(mode), value,
                                 CurrentSettings()->walkworkers, &error);
    if (count < 0) {
        NoteWalkFailure(reply, folder, error);
        return Fail(reply, "301", "Folder doesn`t exist or access denied");
    }
    reply.SetResult("200");
    reply.AddIntParam(count);
}
