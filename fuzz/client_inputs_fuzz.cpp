// What qdxctl reads from outside besides a reply's text: the reply packet as it arrives (length
// field, chunks, decryption in place), a text-log state file, a hosts list, a plugin's
// performance data, a NAME=VALUE setting and the head of an upgrade file. The first byte picks
// the reader from the table; the rest is its input.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "client/catalog.h"
#include "client/client.h"
#include "client/elf_check.h"
#include "client/host_list.h"
#include "client/log_state.h"
#include "client/perf_data.h"
#include "client/reply_values.h"
#include "client/settings_change.h"
#include "protocol/packet.h"

namespace {

void Require(bool condition) {
    if (!condition) __builtin_trap();
}

// Feeds `bytes` to a reply buffer in chunks whose sizes come from the bytes themselves, then
// reads a completed reply by the catalog.
void ReplyPacket(std::string_view bytes, bool encryptFirst) {
    const String key("fuzz-session-key");
    std::string packet(bytes);
    if (encryptFirst) {
        String encrypted = EncodeData(String(packet.data(), static_cast<int>(packet.size())), key, 4);
        packet.assign(encrypted.Data() ? encrypted.Data() : "",
                      static_cast<size_t>(encrypted.Length()));
    }
    ReplyBuffer buffer;
    size_t at = 0;
    bool refused = false;
    while (at < packet.size() && !buffer.Complete() && !refused) {
        size_t chunk = 1 + static_cast<unsigned char>(packet[at]) % 97;
        if (chunk > packet.size() - at) chunk = packet.size() - at;
        refused = !buffer.Add(packet.data() + at, chunk);
        at += chunk;
    }
    Require(buffer.Received() <= kMaxReplyPacket);
    if (!buffer.Complete()) return;
    Require(buffer.Announced() == buffer.Received());
    QdxReplyText reply;
    reply.status = CallStatus::Ok;
    buffer.Open(key, reply.text);
    if (encryptFirst) Require(packet.size() == at && reply.text == std::string(bytes));
    std::span<const CommandSpec> catalog = Catalog();
    const CommandSpec& command = catalog[reply.text.size() % catalog.size()];
    ReplyValues values = ReadReplyValues(&command, {}, reply);
    for (const NamedValue& value : values.values) {
        double number = 0;
        if (value.Number(number)) Require(number == number);
    }
}

void StateFile(std::string_view text) {
    LogState state;
    std::string error;
    if (ParseLogState(text, "state", state, error)) {
        Require(IsStateNumber(state.position) && IsStateNumber(state.lastSize));
        LogState again;
        Require(ParseLogState(FormatLogState(state), "state", again, error) &&
                again.position == state.position);
    }
}

void HostsList(std::string_view text) {
    std::vector<HostLine> hosts;
    std::string error;
    if (ParseHostList(std::string(text), 1055, hosts, error))
        for (const HostLine& host : hosts) {
            Require(host.target.port >= 1 && host.target.port <= 65535);
            // No blank or NUL; a colon only in an IPv6 address (zone aside).
            Require(host.target.host.find_first_of(std::string(" \t\n\0", 4)) == std::string::npos);
            in6_addr address{};
            const std::string& name = host.target.host;
            Require(name.find(':') == std::string::npos ||
                    inet_pton(AF_INET6, name.substr(0, name.find('%')).c_str(), &address) == 1);
        }
}

void PerfData(std::string_view text) {
    std::vector<PerfDatum> data;
    ParsePerfData(text, data);
    Require(data.size() <= 1024);
    std::vector<PerfDatum> again;
    ParsePerfData(FormatPerfData(data), again);
}

void Setting(std::string_view text) {
    SettingChange change;
    std::string error;
    if (ParseSettingWord(std::string(text), change, error))
        Require(change.wire.find_first_of("\r\n") == std::string::npos);
}

void UpgradeHead(std::string_view bytes) {
    std::string error;
    CheckElfExecutable(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                       *FindElfMachine("x86_64"), error);
}

using Reader = void (*)(std::string_view input);
const Reader kReaders[] = {
    [](std::string_view in) { ReplyPacket(in, true); },
    [](std::string_view in) { ReplyPacket(in, false); },
    StateFile,
    HostsList,
    PerfData,
    Setting,
    UpgradeHead,
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > (1u << 16)) return 0;
    std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
    kReaders[data[0] % std::size(kReaders)](input);
    return 0;
}
