// The three forms of a reply on standard output: values labelled with their catalog names, the
// wire text (--raw), and one JSON object (--json); plus the one-line form of --hosts. Labelled
// and one-line output show outside text through TerminalText; JSON and --raw keep its bytes. A
// file list is written as it is read, never held a second time.
#pragma once

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "client/client.h"
#include "client/reply_values.h"
#include "request_words.h"

// 0 for "200", 1 for another result, 2 without a reply.
int ExitFor(const QdxReplyText& reply);

// A value for reading on one line: list entries separated by commas, line breaks in a text
// shown as \r and \n, control bytes as \xNN, times in ISO 8601.
std::string DisplayValue(const NamedValue& value);

// "no reply from HOST:PORT: why" (or "nothing sent: ..." without a session key).
std::string NoReplyMessage(const QdxEndpoint& endpoint, const QdxReplyText& reply);

// For a command this platform does not serve: "on this platform: qdxctl help TEST-UNC", or "".
std::string DoneHereNote(const Request& request, const QdxReplyText& reply);

// A value as JSON: numbers as numbers, flags as booleans, lists as arrays, the rest as text.
nlohmann::ordered_json JsonValue(const NamedValue& value);

// Writes the reply as one JSON object and a line end: host, port, command, code, values by name
// (a file list's entries as an array), reason, wire lines; without a reply, the reason why
// ("no_reply": refused, timeout, closed, ...).
void WriteReplyJson(std::FILE* out, const Request& request, const std::string& host, int port,
                    const QdxReplyText& reply);

// Prints the reply (or, on standard error, why none came) in the form `options` asks for, with
// the password of GetSettings masked unless --show-password, and returns ExitFor(reply). Takes
// the reply by value: move a large one in.
int PrintReply(const Request& request, const Options& options, const QdxEndpoint& endpoint,
               QdxReplyText reply);

// "CODE name=value ..." or "no reply (WHY): text", for one host's line.
std::string ReplyLine(const Request& request, const QdxReplyText& reply);

// JSON text of one object, invalid UTF-8 replaced.
std::string JsonText(const nlohmann::ordered_json& object);
