#include "exporter_textlog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "client/log_state.h"

namespace {

// A name that is safe as one path component: letters, digits, "." and "-" stay, every other
// byte becomes "_" and its hex code.
std::string FileName(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '-' || (c == '.' && !out.empty())) {
            out += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "_%02x", c);
            out += hex;
        }
    }
    return out;
}

std::string Key(const std::string& module, const std::string& target) {
    return module + "\n" + target;
}

}  // namespace

std::string TextLogStore::FileOf(const std::string& module, const std::string& target) const {
    if (folder_.empty()) return "";
    return folder_ + "/" + FileName(module) + "@" + FileName(target) + ".state";
}

bool TextLogStore::Take(const std::string& module, const std::string& target, size_t cap,
                        TextLogPlace& place) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string key = Key(module, target);
    std::list<std::string>& recent = recent_[module];
    auto found = slots_.find(key);
    if (found == slots_.end()) {
        while (cap > 0 && recent.size() >= cap) {
            // The least recently probed target that no probe holds makes room.
            auto oldest = recent.end();
            for (auto it = recent.end(); it != recent.begin();) {
                --it;
                if (!slots_[*it].busy) {
                    oldest = it;
                    break;
                }
            }
            if (oldest == recent.end()) return false;
            Forget(*oldest);
        }
        Slot slot;
        Read(FileOf(module, target), slot.place);
        recent.push_front(key);
        slot.age = recent.begin();
        found = slots_.emplace(key, slot).first;
    }
    Slot& slot = found->second;
    if (slot.busy) return false;
    slot.busy = true;
    recent.splice(recent.begin(), recent, slot.age);
    place = slot.place;
    return true;
}

void TextLogStore::Give(const std::string& module, const std::string& target,
                        const TextLogPlace& place) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = slots_.find(Key(module, target));
    if (found == slots_.end()) return;
    found->second.place = place;
    found->second.busy = false;
    Write(FileOf(module, target), place);
}

void TextLogStore::Forget(const std::string& key) {
    auto found = slots_.find(key);
    if (found == slots_.end()) return;
    size_t cut = key.find('\n');
    std::string file = FileOf(key.substr(0, cut), key.substr(cut + 1));
    if (!file.empty()) unlink(file.c_str());
    recent_[key.substr(0, cut)].erase(found->second.age);
    slots_.erase(found);
}

// The file holds one line: "qdx-exporter textlog POSITION LAST_SIZE LAST_TIME MATCHES".
bool TextLogStore::Read(const std::string& file, TextLogPlace& place) const {
    if (file.empty()) return false;
    int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return false;
    char text[256];
    struct stat info {};
    ssize_t got = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) ? read(fd, text, sizeof text - 1)
                                                                 : -1;
    close(fd);
    if (got <= 0) return false;
    text[got] = '\0';
    char position[32], size[32], time[32];
    unsigned long long matches = 0;
    if (std::sscanf(text, "qdx-exporter textlog %23s %23s %23s %llu", position, size, time,
                    &matches) != 4 ||
        !IsStateNumber(position) || !IsStateNumber(size) || !IsStateNumber(time))
        return false;
    place = TextLogPlace{position, size, time, matches, true};
    return true;
}

void TextLogStore::Write(const std::string& file, const TextLogPlace& place) const {
    if (file.empty() || !place.known) return;
    std::string fresh = file + ".new";
    int fd = open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return;
    std::string line = "qdx-exporter textlog " + place.position + " " + place.lastSize + " " +
                       place.lastTime + " " + std::to_string(place.matches) + "\n";
    bool written = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    written = fsync(fd) == 0 && written;
    close(fd);
    if (!written || rename(fresh.c_str(), file.c_str()) != 0) unlink(fresh.c_str());
}
