#include "config/tls_settings.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kLongestIdentity = 128;

void Refuse(String& message, const char* text) {
    message += "  ";
    message += text;
    message += "!\n";
}

// A file setting: empty, or a full path; a secret also private.
bool CheckFile(const char* key, const String& path, bool secret, String& message) {
    if (path.Length() == 0) return true;
    String line;
    if (path[1] != '/') {
        line = "TLS file setting ";
        line += key;
        line += " must be a full path";
        Refuse(message, line.SetZero().Data());
        return false;
    }
    if (!secret) return true;
    String reason;
    if (IsPrivateFile(path, reason)) return true;
    line = "TLS ";
    line += key;
    line += " '";
    line += path;
    line += "' ";
    line += reason;
    Refuse(message, line.SetZero().Data());
    return false;
}

bool PrintableIdentity(const String& identity) {
    if (identity.Length() > kLongestIdentity) return false;
    for (int i = 1; i <= identity.Length(); i++)
        if (static_cast<unsigned char>(identity[i]) <= ' ' || identity[i] == 0x7f) return false;
    return true;
}

}  // namespace

bool IsPrivateFile(const String& path, String& reason) {
    String name(path);
    struct stat status{};
    if (stat(name.SetZero().Data(), &status) != 0) {
        reason = std::strerror(errno);
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        reason = "is not a regular file";
        return false;
    }
    const char* what = nullptr;
    if (status.st_mode & S_IROTH)
        what = "is readable by others";
    else if (status.st_mode & (S_IWOTH | S_IWGRP))
        what = "is writable by others";
    if (what == nullptr) return true;
    char text[80];
    std::snprintf(text, sizeof text, "%s (mode %04o)", what,
                  static_cast<unsigned>(status.st_mode & 07777));
    reason = text;
    return false;
}

bool CheckTlsSettings(const TQDXSettings& s, String& message) {
    if (s.tlsport == 0) return true;
    bool ok = true;
    if (s.tlsport < 0 || s.tlsport > 65535 || s.tlsport == s.port) {
        Refuse(message, "Invalid TLS port number (1 to 65535, not the plain port)");
        ok = false;
    }
    bool certificate = s.tlscertfile.Length() > 0 || s.tlskeyfile.Length() > 0;
    bool psk = s.tlspskidentity.Length() > 0 || s.tlspskfile.Length() > 0;
    if (certificate && (s.tlscertfile.Length() == 0 || s.tlskeyfile.Length() == 0)) {
        Refuse(message, "TLS needs both tlscertfile and tlskeyfile");
        ok = false;
    }
    if (psk && (s.tlspskidentity.Length() == 0 || s.tlspskfile.Length() == 0)) {
        Refuse(message, "TLS needs both tlspskidentity and tlspskfile");
        ok = false;
    }
    if (!certificate && !psk) {
        Refuse(message, "TLS needs a certificate (tlscertfile, tlskeyfile) or a pre-shared key "
                        "(tlspskidentity, tlspskfile)");
        ok = false;
    }
    if (s.tlscafile.Length() > 0 && !certificate) {
        Refuse(message, "TLS client certificates (tlscafile) need the agent's own certificate");
        ok = false;
    }
    if (!PrintableIdentity(s.tlspskidentity)) {
        Refuse(message, "TLS pre-shared key identity must be 1 to 128 printable characters");
        ok = false;
    }
    ok = CheckFile("tlscertfile", s.tlscertfile, false, message) && ok;
    ok = CheckFile("tlscafile", s.tlscafile, false, message) && ok;
    ok = CheckFile("tlskeyfile", s.tlskeyfile, true, message) && ok;
    ok = CheckFile("tlspskfile", s.tlspskfile, true, message) && ok;
    return ok;
}
