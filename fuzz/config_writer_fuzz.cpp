// The configuration writer against the reader. A fuzzed file is loaded and put in force, fuzzed
// SetSettings lines are applied, and the file is loaded again: what SetSettings accepted must come
// back from the file exactly as it was in force, and what it refused must have changed nothing.
// Input: the file, two NUL bytes, then the SetSettings parameter lines.
//
// A line longer than 1021 characters before its line end cannot be written back whole (the writer
// keeps every line within the reader's 1023-byte piece, CR LF included), so such files are skipped.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "config/options.h"
#include "config/settings.h"
#include "handlers/agent_info.h"
#include "protocol/reply.h"
#include "protocol/request.h"
#include "scratch_folder.h"

namespace {

std::string path;

bool LinesFitThePiece(std::string_view text) {
    constexpr size_t kLongestLine = 1021;
    size_t start = 0;
    while (start < text.size()) {
        size_t lf = text.find('\n', start);
        size_t end = lf == std::string_view::npos ? text.size() : lf;
        size_t length = end - start;
        if (lf != std::string_view::npos && length > 0 && text[end - 1] == '\r') length--;
        if (length > kLongestLine) return false;
        if (lf == std::string_view::npos) break;
        start = lf + 1;
    }
    return true;
}

void WriteConfig(std::string_view text) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) abort();
    close(fd);
}

std::string ReadConfig() {
    std::string text;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) abort();
    char block[4096];
    ssize_t got;
    while ((got = read(fd, block, sizeof block)) > 0) text.append(block, static_cast<size_t>(got));
    close(fd);
    return text;
}

TQDXSettings Load() {
    TQDXSettings settings;
    std::strcpy(settings.cfgfile, path.c_str());
    String message;
    LoadOptions_(settings, message);  // an invalid file still fills the record
    return settings;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    path = MakeScratchFolder("qdxwriter") + "/qdx.cfg";
    if (path.size() >= sizeof(TQDXSettings::cfgfile)) abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 16)) return 0;
    std::string_view input(reinterpret_cast<const char*>(data), size);
    size_t split = input.find(std::string_view("\0\0", 2));
    std::string_view file = input.substr(0, split);
    std::string_view lines =
        split == std::string_view::npos ? std::string_view() : input.substr(split + 2);
    if (!LinesFitThePiece(file)) return 0;

    WriteConfig(file);
    PublishSettings(Load());
    SettingsSnapshot before = CurrentSettings();

    ZPRequest request;
    request = String(lines.data(), static_cast<int>(lines.size()));
    QDXReply reply;
    reply.InitPacket(nullptr, "key");
    SetAgentSettings(request, reply);
    std::string_view code(reply.Text().Data(), 3);

    if (code == "501") {
        // Refused whole: nothing changed in memory or on disk.
        if (CurrentSettings() != before || ReadConfig() != file) __builtin_trap();
    } else if (code == "200") {
        SettingsSnapshot inForce = CurrentSettings();
        if (FirstFileDifference(*inForce, Load()) != nullptr) __builtin_trap();
    } else {
        __builtin_trap();  // the scratch folder is writable: a save cannot fail
    }
    return 0;
}
