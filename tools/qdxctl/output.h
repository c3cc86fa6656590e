// The three forms of a reply on standard output: values labelled with their catalog names, the
// wire text (--raw), and one JSON object (--json); plus the one-line form of --hosts.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "client/client.h"
#include "client/reply_values.h"
#include "request_words.h"

// 0 for "200", 1 for another result, 2 without a reply.
int ExitFor(const QdxReplyText& reply);

// A value for reading on one line: list entries separated by commas, line breaks in a text
// shown as \r and \n, times in ISO 8601.
std::string DisplayValue(const NamedValue& value);

// The reply as one JSON object: host, port, command, code, values by name, reason, wire lines;
// without a reply, the reason why ("no_reply" is refused, timeout, closed, ...).
nlohmann::ordered_json ReplyJson(const Request& request, const std::string& host, int port,
                         const QdxReplyText& reply);

// Prints the reply (or, on standard error, why none came) and returns ExitFor(reply). With JSON
// output a missing reply is an object on standard output too.
int PrintReply(const Request& request, const QdxEndpoint& endpoint, const QdxReplyText& reply,
               OutputForm form);

// "CODE name=value ..." or "no reply (WHY): text", for one host's line.
std::string ReplyLine(const Request& request, const QdxReplyText& reply);
