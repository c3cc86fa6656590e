#include "handlers/textlog_tests.h"

#include "config/settings.h"
#include "fileutils/fs_guard.h"
#include "handlers/file_macros.h"
#include "handlers/path_param.h"
#include "handlers/refused_expressions.h"
#include "protocol/decoders.h"

namespace {

// What the server sends back with its next request, plus the file size it is told.
struct LogState {
    double position = 0;
    double lastSize = 0;
    double lastTime = 0;
    double fileSize = 0;
};

bool DecodeState(const ZPRequest& request, int first, LogState& state) {
    return qdxDecodeInt64(request.GetParam(first, 1), state.position) &&
           qdxDecodeInt64(request.GetParam(first + 1, 1), state.lastSize) &&
           qdxDecodeInt64(request.GetParam(first + 2, 1), state.lastTime);
}

int Flag(const ZPRequest& request, int index) {
    return qdxDecodeBool(request.GetParam(index, 1)) ? 1 : 0;
}

void Refuse(QDXReply& reply, const char* code, const char* reason) {
    reply.SetResult(code) += reason;
}

// No file found: none is there, or its folder's file system does not answer.
void RefuseMissing(QDXReply& reply) {
    Refuse(reply, "301", FsRequestRefused() ? "Cannot open file" : "File does not exist");
}

bool TestAllowed(QDXReply& reply) {
    if (CurrentSettings()->textlog) return true;
    Refuse(reply, "600", "test is not allowed");
    return false;
}

// The success reply of both tests. `lookAhead` scans again from `state` (and updates it); it is
// only called without scanToEnd, to tell the server whether another match is waiting, in which case
// the state after the first scan goes back so that the next request resumes right after the
// reported line. `addTail` appends what follows each state group.
template <typename LookAhead, typename Tail>
void Answer(QDXReply& reply, double value, const String& line, LogState& state, int scanToEnd,
            LookAhead lookAhead, Tail addTail) {
    reply.SetResult("200");
    reply.AddIntParam(value);
    reply.AddStringParam(line.Copy(1, 1024), 1);
    LogState noted = state;
    int another = 0;
    if (!scanToEnd) {
        double next = lookAhead(state);  // its errors are not reported
        another = next != 0 && next != -1;
    }
    const LogState& sent = scanToEnd || another ? noted : state;
    reply.AddBoolParam(another);
    reply.AddIntParam(sent.position);
    reply.AddIntParam(sent.lastSize);
    reply.AddIntParam(sent.lastTime);
    reply.AddIntParam(sent.fileSize);
    addTail();
}

}  // namespace

void DecodeFilter(const ZPRequest& request, TTextLogFilter& filter, int first) {
    filter.Text = qdxDecodeStrings(request.GetParam(first, 1));
    filter.IsExpression = Flag(request, first + 1);
    filter.CaseSensitive = Flag(request, first + 2);
    filter.WholeWord = Flag(request, first + 3);
}

void ProcessTest_TextLog(const ZPRequest& request, QDXReply& reply) {
    if (!TestAllowed(reply)) return;
    String path = GetFirstMatchedFile(GetPathParam(request, 1));
    if (path.Length() == 0) return RefuseMissing(reply);
    String text = qdxDecodeStrings(request.GetParam(2, 1));
    LogState state;
    if (!DecodeState(request, 3, state)) {
        Refuse(reply, "501", "Wrong parameter");
        return;
    }
    int useExpression = Flag(request, 6);
    int scanToEnd = Flag(request, 7);
    int caseSensitive = Flag(request, 8);
    int wholeWord = Flag(request, 9);
    if (useExpression) NoteUnusableExpression(text, reply);

    path.SetZero();
    auto scan = [&](LogState& s, String& line, String& message) {
        return CheckFileForExpression(path.Data(), text, s.position, s.lastSize, s.lastTime,
                                      useExpression, scanToEnd, caseSensitive, wholeWord, line,
                                      message, s.fileSize);
    };
    String line, message;
    double value = scan(state, line, message);
    if (value == -1) {
        reply.SetResult("301") += message;
        return;
    }
    Answer(
        reply, value, line, state, scanToEnd,
        [&](LogState& s) {
            String ignoredLine, ignoredMessage;
            return scan(s, ignoredLine, ignoredMessage);
        },
        [] {});
}

void ProcessTest_TextLog2(const ZPRequest& request, QDXReply& reply) {
    if (!TestAllowed(reply)) return;
    LogState state;
    if (!DecodeState(request, 2, state)) {
        Refuse(reply, "501", "Wrong parameter");
        return;
    }
    int scanToEnd = Flag(request, 5);
    TTextLogFilter first, second;
    DecodeFilter(request, first, 6);
    int useSecond = Flag(request, 10);
    if (useSecond) DecodeFilter(request, second, 11);
    int macros = Flag(request, useSecond ? 20 : 16);
    if (first.IsExpression == 1) NoteUnusableExpression(first.Text, reply);
    if (useSecond && second.IsExpression == 1) NoteUnusableExpression(second.Text, reply);

    String path = GetPathParam(request, 1);
    if (macros) path = GetFileUsingSpecialMacros(path);
    path = GetFirstMatchedFile(path);
    if (path.Length() == 0) return RefuseMissing(reply);
    path.SetZero();
    // The filter of the reported line; when nothing matched it stays 0.
    int whichFilter = 0;
    auto scan = [&](LogState& s, int& which, String& line, String& message) {
        return CheckFileForExpression2(path.Data(), s.position, s.lastSize, s.lastTime, first,
                                       second, useSecond, scanToEnd, which, line, message,
                                       s.fileSize);
    };
    String line, message;
    double value = scan(state, whichFilter, line, message);
    if (value == -1) {
        reply.SetResult("301") += message;
        return;
    }
    Answer(
        reply, value, line, state, scanToEnd,
        [&](LogState& s) {
            int ignoredWhich = 0;
            String ignoredLine, ignoredMessage;
            return scan(s, ignoredWhich, ignoredLine, ignoredMessage);
        },
        [&] {
            reply.AddBoolParam(whichFilter);
            reply.AddStringParam(path, 1);
        });
}
