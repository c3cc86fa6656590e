// The bytes of an upgrade transfer, cut into reads in every possible way: whatever arrives, the
// transfer ends with the reservation and the temporary files in a consistent state.
//
// Input: two bytes giving the executable's size (101 plus the value modulo 400), then reads, each
// a length byte followed by that many bytes (the last read takes what is left).
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "agent/flags.h"
#include "agent/upgrade.h"
#include "config/settings.h"
#include "foundation/twofish.h"

namespace {

const String kKey("fuzz-upgrade-key");
std::string folder;

bool Exists(const char* name) {
    struct stat info {};
    return stat((folder + "/" + name).c_str(), &info) == 0;
}

void Check(bool condition) {
    if (!condition) __builtin_trap();
}

// A transfer that has ended badly leaves nothing behind and frees the reservation.
void CheckReleased() {
    Check(QDXFlags.upgrading.load() == 0);
    Check(!Exists(kUpgradeExecutableName));
    Check(!Exists(kUpgradeScriptName));
}

void RemoveFolder() {
    for (const char* name : {"qdx", kUpgradeExecutableName, kUpgradeScriptName})
        unlink((folder + "/" + name).c_str());
    rmdir(folder.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Twofish_initialise();
    char pattern[] = "/tmp/qdx-upgrade-fuzz-XXXXXX";
    folder = mkdtemp(pattern);
    std::string qdxpath = folder + "/qdx";
    close(creat(qdxpath.c_str(), 0755));
    TQDXSettings settings = *CurrentSettings();
    settings.tmpdir = folder.c_str();
    settings.qdxpath = qdxpath.c_str();
    PublishSettings(settings);
    atexit(RemoveFolder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > 4096) return 0;
    QDXFlags.upgrading.store(0);
    {
        std::lock_guard<std::mutex> lock(thread_mutex);
        QDXFlags.upgradescript = "";
    }
    {
        UpgradeRec upgrade;
        Check(RequestUpgrade(upgrade, kKey));
        upgrade.size = kUpgradeMinSize + (data[0] | data[1] << 8) % 400;
        upgrade.sizeset = 1;
        String message;
        Check(DoUpgrading(upgrade, nullptr, 0, message));

        bool ok = true;
        size_t at = 2;
        while (upgrade.active && at < size) {
            size_t length = data[at++];
            if (length > size - at) length = size - at;
            ok = DoUpgrading(upgrade, reinterpret_cast<const char*>(data + at),
                             static_cast<int>(length), message);
            at += length;
            Check(upgrade.received <= upgrade.size);
            Check(ok == (message.Length() == 0));
        }
        if (!ok) {
            Check(!upgrade.active);
            CheckReleased();
        } else if (!upgrade.active) {
            // A good transfer: the script waits, holding the reservation.
            Check(upgrade.received == upgrade.size);
            Check(QDXFlags.upgrading.load() == 1);
            Check(Exists(kUpgradeExecutableName) && Exists(kUpgradeScriptName));
            unlink((folder + "/" + kUpgradeExecutableName).c_str());
            unlink((folder + "/" + kUpgradeScriptName).c_str());
            QDXFlags.upgrading.store(0);
        }
    }
    // A transfer still running when its session ends is abandoned.
    CheckReleased();
    return 0;
}
