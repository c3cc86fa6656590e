// Where the exporter's text-log modules stand in each target's log: the agent's position, size
// and time after the last probe, and the lines matched so far. Kept in memory for at most a given
// number of targets per module (the least recently probed forgotten first) and, when a state
// folder is given, in one small file per module and target, so that a restart loses nothing.
// Safe from any thread; one probe at a time holds a module's target.
#pragma once

#include <list>
#include <map>
#include <mutex>
#include <string>

struct TextLogPlace {
    std::string position = "0", lastSize = "0", lastTime = "0";
    unsigned long long matches = 0;  // lines matched since the first probe
    bool known = false;              // false before the first probe: it only marks the end
};

class TextLogStore {
public:
    // `folder` empty: memory only.
    explicit TextLogStore(std::string folder) : folder_(std::move(folder)) {}

    // Takes the place of `target` in `module`, read from the state folder when memory has none.
    // False while another probe holds it. `cap` bounds the targets the module keeps.
    bool Take(const std::string& module, const std::string& target, size_t cap,
              TextLogPlace& place);
    // Gives the place back, changed by the probe, and stores it.
    void Give(const std::string& module, const std::string& target, const TextLogPlace& place);

    // The file a module's target is kept in ("" without a folder).
    std::string FileOf(const std::string& module, const std::string& target) const;

private:
    struct Slot {
        TextLogPlace place;
        bool busy = false;
        std::list<std::string>::iterator age;  // in recent_, newest first
    };
    void Forget(const std::string& key);
    bool Read(const std::string& file, TextLogPlace& place) const;
    void Write(const std::string& file, const TextLogPlace& place) const;

    std::string folder_;
    std::mutex mutex_;
    std::map<std::string, Slot> slots_;                     // by module "\n" target
    std::map<std::string, std::list<std::string>> recent_;  // keys of each module, newest first
};
