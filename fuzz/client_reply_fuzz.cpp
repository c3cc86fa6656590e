// What qdxctl reads from outside: a reply text from an agent, read by the catalog into named
// values; threshold ranges; and command-line words turned into parameter lines. The first byte
// picks the command; the rest is split at NUL bytes into the reply, a range and the words.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "client/catalog.h"
#include "client/reply_values.h"
#include "client/request_params.h"
#include "client/threshold.h"

namespace {

void Require(bool condition) {
    if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > (1u << 16)) return 0;
    std::span<const CommandSpec> catalog = Catalog();
    const CommandSpec& command = catalog[data[0] % catalog.size()];
    std::vector<std::string> parts(1);
    for (size_t i = 1; i < size; i++) {
        if (data[i] == 0)
            parts.emplace_back();
        else
            parts.back() += static_cast<char>(data[i]);
    }

    std::vector<std::string> words(parts.begin() + std::min<size_t>(2, parts.size()), parts.end());
    std::vector<std::string> positional, lines;
    std::vector<NamedParam> given;
    std::string error;
    if (SplitWords(words, true, positional, given, error) &&
        BuildParamLines(&command, positional, given, false, lines, error)) {
        for (const std::string& line : lines)
            Require(line.find_first_of("\r\n") == std::string::npos);
    }

    QdxReplyText reply;
    reply.status = CallStatus::Ok;
    reply.text = parts[0];
    ReplyValues values = ReadReplyValues(&command, lines, reply);
    for (const NamedValue& value : values.values) {
        double number = 0;
        value.Number(number);
        Require(value.record >= 0);
    }

    if (parts.size() > 1) {
        ThresholdRange range;
        if (ParseThresholdRange(parts[1], range, error)) {
            Require(range.set && range.start <= range.end);
            range.Alerts(0);
        }
    }
    return 0;
}
