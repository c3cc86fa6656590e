// The configuration writer: rewrites the file line by line, replacing the values of the keys it
// manages and keeping every other byte, then swaps the new file in without ever leaving the path
// without a complete configuration file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "config/config_format.h"
#include "config/config_fs.h"
#include "config/options.h"

namespace {

// The keys the writer manages, in the order missing ones are appended. Port and timeout are
// plain numbers here: the writer always writes the value in force.
constexpr ConfigKey kManagedKeys[] = {
    TextKey("host", &TQDXSettings::host),
    NumberKey("port", &TQDXSettings::port),
    NumberKey("timeout", &TQDXSettings::timeout),
    TextKey("comment", &TQDXSettings::comment),
    TextKey("password", &TQDXSettings::password),
    FlagKey("filteractive", &TQDXSettings::filteractive),
    TextKey("filtermarks", &TQDXSettings::filtermarks),
    ListKey("filterlist", &TQDXSettings::filterlist),
    TextKey("verboselogfile", &TQDXSettings::verboselogfile),
    FlagKey("logsuccess", &TQDXSettings::logsuccess),
    FlagKey("logfails", &TQDXSettings::logfails),
    TextKey("oklogfile", &TQDXSettings::oklogfile),
    TextKey("badlogfile", &TQDXSettings::badlogfile),
    FlagKey("allowupdates", &TQDXSettings::allowupdates),
    FlagKey("allowmanage", &TQDXSettings::allowmanage),
    TextKey("updateaddr", &TQDXSettings::updateaddr),
    TextKey("manageaddr", &TQDXSettings::manageaddr),
    FlagKey("unc", &TQDXSettings::unc),
    FlagKey("freespace", &TQDXSettings::freespace),
    FlagKey("foldersize", &TQDXSettings::foldersize),
    FlagKey("countfiles", &TQDXSettings::countfiles),
    FlagKey("fileexists", &TQDXSettings::fileexists),
    FlagKey("filecrc", &TQDXSettings::filecrc),
    FlagKey("comparefiles", &TQDXSettings::comparefiles),
    FlagKey("process", &TQDXSettings::process),
    FlagKey("cpuusage", &TQDXSettings::cpuusage),
    FlagKey("script", &TQDXSettings::script),
    FlagKey("external", &TQDXSettings::external),
    FlagKey("ping", &TQDXSettings::ping),
    FlagKey("tcp", &TQDXSettings::tcp),
    FlagKey("udp", &TQDXSettings::udp),
    FlagKey("textlog", &TQDXSettings::textlog),
    FlagKey("shellscript", &TQDXSettings::shellscript),
    FlagKey("executeaction", &TQDXSettings::executeaction),
    FlagKey("tcpudpaction", &TQDXSettings::tcpudpaction),
    FlagKey("syslogaction", &TQDXSettings::syslogaction),
};
constexpr int kManagedCount = static_cast<int>(std::size(kManagedKeys));
static_assert(kManagedCount == 36);

int ManagedIndex(const String& key) {
    for (int i = 0; i < kManagedCount; i++)
        if (key == kManagedKeys[i].name) return i;
    return -1;
}

// Longest value that keeps a line whose value starts at `valueStart` within one reader piece,
// CR LF included; a longer one would come back as two lines.
int ValueRoom(int valueStart) {
    int room = kMaxLinePiece - 2 - valueStart;
    return room > 0 ? room : 0;
}

// A text or list value as the file holds it. An LF would split the line and a NUL byte cut the
// value when it is read back, so they become blanks: the last guard against a value that adds
// lines of its own. In a list, CR and LF separate entries, as blanks do in the file.
String TextAsWritten(KeyKind kind, const String& value) {
    String text = kind == KeyKind::List ? value.ReplaceAll("\r\n", " ", 1) : value;
    for (int i = 0; i < text.Length(); i++) {
        char& c = text.Data()[i];
        if (c == '\n' || c == '\0' || (c == '\r' && kind == KeyKind::List)) c = ' ';
    }
    return text;
}

// The value of a non-flag key as the file holds it.
String ValueText(const TQDXSettings& s, const ConfigKey& key) {
    if (key.kind == KeyKind::Number || key.kind == KeyKind::Port) {
        char number[16];
        std::snprintf(number, sizeof number, "%d", s.*key.number);
        return String(number);
    }
    return TextAsWritten(key.kind, s.*key.text);
}

// Room for the value on a line of its own: "key=value".
int FreshLineRoom(const ConfigKey& key) {
    return ValueRoom(static_cast<int>(std::strlen(key.name)) + 1);
}

char FlagDigit(const TQDXSettings& s, const ConfigKey& key) {
    return s.*key.number ? '1' : '0';
}

bool WriteAll(int fd, const char* data, size_t count) {
    while (count > 0) {
        ssize_t done = configfs::Write(fd, data, count);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return false;
        data += done;
        count -= static_cast<size_t>(done);
    }
    return true;
}

// Output to a descriptor in large writes; remembers the first failure.
class FileOutput {
public:
    explicit FileOutput(int fd) : fd_(fd) {}
    void Add(const char* data, int count) {
        while (count > 0) {
            if (used_ == static_cast<int>(sizeof buffer_)) Flush();
            int take = static_cast<int>(sizeof buffer_) - used_;
            if (take > count) take = count;
            std::memcpy(buffer_ + used_, data, static_cast<size_t>(take));
            used_ += take;
            data += take;
            count -= take;
        }
    }
    void Add(const String& text) { Add(text.Data(), text.Length()); }
    // Writes what is buffered; false when any write so far failed.
    bool Flush() {
        if (!failed_ && used_ > 0 && !WriteAll(fd_, buffer_, static_cast<size_t>(used_)))
            failed_ = true;
        used_ = 0;
        return !failed_;
    }

private:
    int fd_;
    bool failed_ = false;
    int used_ = 0;
    char buffer_[4096];
};

// The line end of the file: that of its first line, CR LF or LF; LF when the file has no line end
// at all. Rewritten and appended lines take it, so they match the lines around them. Reads up to
// the first LF and goes back to the start; false on a read error.
bool FileLineEnd(int fd, const char*& eol) {
    eol = "\n";
    char block[4096];
    char previous = '\0';
    for (;;) {
        ssize_t got = read(fd, block, sizeof block);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) break;
        const void* lf = std::memchr(block, '\n', static_cast<size_t>(got));
        if (lf != nullptr) {
            size_t at = static_cast<size_t>(static_cast<const char*>(lf) - block);
            if ((at > 0 ? block[at - 1] : previous) == '\r') eol = "\r\n";
            break;
        }
        previous = block[got - 1];
    }
    return lseek(fd, 0, SEEK_SET) == 0;
}

// Length of a piece without its line end (LF, or CR LF).
int ContentLength(const char* piece, int length) {
    if (length == 0 || piece[length - 1] != '\n') return length;
    length--;
    return length > 0 && piece[length - 1] == '\r' ? length - 1 : length;
}

// The managed line with the value in force at `valueStart`, without its line end.
String RewriteLine(const char* piece, int length, int valueStart, const ConfigKey& key,
                   const TQDXSettings& s) {
    if (key.kind == KeyKind::Flag) {
        // Only the first character of the value changes: "yes" becomes "1es" or "0es".
        String line(piece, ContentLength(piece, length));
        if (valueStart < line.Length())
            line.Data()[valueStart] = FlagDigit(s, key);
        else
            line += FlagDigit(s, key);
        return line;
    }
    String value = ValueText(s, key);
    if (value.Length() > ValueRoom(valueStart) && value.Length() <= FreshLineRoom(key)) {
        // The blanks around the key leave too little room: the line is written afresh, so that
        // the value reads back whole.
        String fresh(key.name);
        fresh += '=';
        return fresh += value;
    }
    String line(piece, valueStart);
    int keep = value.Length() < ValueRoom(valueStart) ? value.Length() : ValueRoom(valueStart);
    line.AddData(value.Data(), keep);
    return line;
}

// Copies the file at `in` to `out` with the managed values replaced: a rewritten line ends with
// `eol`, every other piece is copied as it is. `endsLine` tells whether the last piece written
// ended its line. False on a read error.
bool CopyLines(int in, const TQDXSettings& s, const char* eol, bool* seen, FileOutput& out,
               bool& endsLine) {
    LinePieceReader reader(in);
    const char* piece;
    int length;
    endsLine = true;
    while ((length = reader.Next(piece)) > 0) {
        KeyLine line;
        int index = SplitKeyLine(piece, length, line) ? ManagedIndex(line.key) : -1;
        if (index < 0) {
            out.Add(piece, length);
            endsLine = piece[length - 1] == '\n';
            continue;
        }
        seen[index] = true;
        out.Add(RewriteLine(piece, length, line.valueStart, kManagedKeys[index], s));
        out.Add(eol, static_cast<int>(std::strlen(eol)));
        endsLine = true;
    }
    return length == 0;
}

// Appends the managed keys the file lacked, each on a line of its own ending with `eol`; a last
// line of the file without a line end gets one first.
void AppendMissing(const TQDXSettings& s, const bool* seen, const char* eol, bool endsLine,
                   FileOutput& out) {
    for (int i = 0; i < kManagedCount; i++) {
        if (seen[i]) continue;
        const ConfigKey& key = kManagedKeys[i];
        String line(key.name);
        line += '=';
        if (key.kind == KeyKind::Flag) {
            line += FlagDigit(s, key);
        } else {
            String value = ValueText(s, key);
            int room = FreshLineRoom(key);
            line.AddData(value.Data(), value.Length() < room ? value.Length() : room);
        }
        if (!endsLine) out.Add(eol, static_cast<int>(std::strlen(eol)));
        out.Add(line);
        out.Add(eol, static_cast<int>(std::strlen(eol)));
        endsLine = true;
    }
}

// A copy made with the source's permission bits; false (and nothing left behind) on any failure.
bool CopyFile(const String& from, const String& to, mode_t mode) {
    int in = configfs::Open(from.Data(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (in < 0) return false;
    int out = configfs::Open(to.Data(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600);
    if (out < 0) {
        close(in);
        return false;
    }
    fchmod(out, mode);  // without it the copy stays private to the owner, which is safe
    FileOutput output(out);
    char block[4096];
    ssize_t got;
    while ((got = read(in, block, sizeof block)) != 0) {
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) break;
        output.Add(block, static_cast<int>(got));
    }
    close(in);
    bool ok = got == 0 && output.Flush() && configfs::Fsync(out) == 0;
    ok = configfs::Close(out) == 0 && ok;
    if (!ok) unlink(to.Data());
    return ok;
}

// The previous file under the ".Old" name: a hard link where the file system has them, a copy
// elsewhere. Either is made under a scratch name and renamed over the older backup only once it
// is complete, so that backup stays when neither works. A missing backup does not stop the save.
void MakeBackup(const String& path, mode_t mode) {
    String backup = path + ".Old";
    backup.SetZero();
    String scratch = path + ".Old.New";
    scratch.SetZero();
    unlink(scratch.Data());
    if (configfs::Link(path.Data(), scratch.Data()) != 0 && !CopyFile(path, scratch, mode)) return;
    if (configfs::Rename(scratch.Data(), backup.Data()) != 0) unlink(scratch.Data());
}

// Makes the rename durable. The save has succeeded already; a failure here changes nothing.
void SyncFolder(const String& path) {
    int slash = path.Length();
    while (slash > 0 && path[slash] != '/') slash--;
    String folder = slash == 0 ? String(".") : slash == 1 ? String("/") : path.Copy(1, slash - 1);
    folder.SetZero();
    int fd = configfs::Open(folder.Data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return;
    configfs::Fsync(fd);
    configfs::Close(fd);
}

String Quoted(const char* text, const String& path) {
    return String(text) + path + "'";
}

}  // namespace

bool ConfigFileHolds(String TQDXSettings::*field, const String& value) {
    for (const ConfigKey& key : kManagedKeys) {
        if (key.text != field) continue;
        String written = TextAsWritten(key.kind, value);
        if (written.Length() > FreshLineRoom(key)) return false;
        if (key.kind == KeyKind::List) return FilterListEntries(qdxDecodeStrings(written)) == value;
        // The reader drops blanks around a value, and a CR or LF at its end.
        auto blank = [](char c) { return c == ' ' || c == '\t'; };
        int n = written.Length();
        bool trimmed = n == 0 || (!blank(written[1]) && !blank(written[n]) && written[n] != '\r');
        return trimmed && written == value;
    }
    return false;
}

bool SaveOptions_(TQDXSettings& settings, String& message) {
    message = "";
    bool seen[kManagedCount] = {};
    PutRight(settings, message);
    String path = ConfigPath(settings);
    if (path.Length() == 0) {
        message = "Configuration file is not specified";
        return false;
    }
    int in = configfs::Open(path.Data(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (in < 0) {
        message = Quoted("Cannot open configuration file '", path);
        return false;
    }
    struct stat info {};
    mode_t mode = fstat(in, &info) == 0 ? info.st_mode & 07777 : 0600;

    String fresh = path + ".New";
    fresh.SetZero();
    // A leftover of an interrupted save (or anything planted under that name) goes first, so the
    // new file is always one this save created.
    unlink(fresh.Data());
    int out =
        configfs::Open(fresh.Data(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600);
    if (out < 0) {
        close(in);
        message = Quoted("Cannot create new configuration file '", fresh);
        return false;
    }
    // Keeps the configuration's permission bits; without them the new file is private, which is
    // safe.
    fchmod(out, mode);

    FileOutput output(out);
    const char* eol = "\n";
    bool endsLine = true;
    bool read = FileLineEnd(in, eol) && CopyLines(in, settings, eol, seen, output, endsLine);
    close(in);
    AppendMissing(settings, seen, eol, endsLine, output);
    bool written = output.Flush() && configfs::Fsync(out) == 0;
    written = configfs::Close(out) == 0 && written;
    if (!read || !written) {
        unlink(fresh.Data());
        message = read ? Quoted("Cannot create new configuration file '", fresh)
                       : Quoted("Cannot open configuration file '", path);
        return false;
    }

    MakeBackup(path, mode);
    if (configfs::Rename(fresh.Data(), path.Data()) != 0) {
        unlink(fresh.Data());
        message = Quoted("Cannot overwrite configuration file '", path);
        return false;
    }
    SyncFolder(path);
    return true;
}

bool SaveOptions(String& message) {
    auto lock = LockOptions();
    TQDXSettings next = *CurrentSettings();
    bool saved = SaveOptions_(next, message);
    // PutRight has brought the derived values up to date.
    PublishSettings(next);
    return saved;
}
