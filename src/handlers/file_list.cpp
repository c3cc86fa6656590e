#include "handlers/file_list.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "config/settings.h"
#include "fileutils/file_facts.h"
#include "fileutils/paths.h"
#include "fileutils/search.h"
#include "handlers/path_param.h"
#include "protocol/decoders.h"

namespace {

// The entry lines of a whole listing may take this much; a listing of 256 MiB is far past any
// folder a person browses, and well inside what a reply can carry.
constexpr size_t kMaxEntryBytes = 256u << 20;

bool AnyFileTestAllowed(const TQDXSettings& settings) {
    return settings.foldersize || settings.countfiles || settings.fileexists || settings.filecrc ||
           settings.comparefiles || settings.textlog;
}

// The folder to search, ending in '/': a name that is no folder stands for the folder holding it.
// A name on a file system that does not answer stays the folder asked for, which then lists as
// one that cannot be searched.
String FolderToSearch(const String& requested) {
    String folder = requested.Length() > 0 ? requested : String("/");
    String name(folder);
    name.SetZero();
    errno = 0;
    if (!IsPathDelimiter(folder, folder.Length()) && !DirectoryExists(name.Data()) &&
        errno != ETIMEDOUT)
        folder = ExtractFilePath(folder);
    return IncludeTrailingPathDelimiter(folder);
}

class TListing {
public:
    TListing(const TFileListQuery& query, size_t maxBytes) : query_(query), maxBytes_(maxBytes) {}

    // Adds the entries of `folder` matching `pattern` whose directory bit equals `directories`.
    // After an entry that does not fit, nothing more is added, in this pass or the next: the list
    // ends short rather than with a gap.
    void Add(const String& folder, const String& pattern, int attr, bool directories) {
        if (full_) return;
        TSearchRec rec;
        if (FindFirst(folder, pattern, attr, rec) != 0) return;
        TSearchScope scope(rec);
        do {
            if (((rec.Attr & attrDirectory) != 0) != directories) continue;
            if (std::strcmp(rec.Name, ".") == 0 || std::strpbrk(rec.Name, "\r\n") != nullptr)
                continue;
            if (!AddEntry(rec)) return;
        } while (FindNext(rec) == 0);
    }

    int Count() const { return count_; }
    const std::string& Lines() const { return lines_; }

private:
    bool AddEntry(const TSearchRec& rec) {
        QDXReply entry;
        entry.AddStringParam(rec.Name, 0);
        entry.AddIntParam(rec.Attr);
        if (query_.size) entry.AddIntParam(static_cast<double>(rec.Size));
        if (query_.changeTime) entry.AddTimeParam(rec.ChangeTime);
        if (query_.modifyTime) entry.AddTimeParam(rec.Time);
        const String& text = entry.Text();
        if (lines_.size() + static_cast<size_t>(text.Length()) > maxBytes_) {
            full_ = true;
            return false;
        }
        lines_.append(text.Data(), static_cast<size_t>(text.Length()));
        count_++;
        return true;
    }

    const TFileListQuery& query_;
    size_t maxBytes_;
    int count_ = 0;
    bool full_ = false;
    std::string lines_;  // every entry's lines, each ended by LF
};

}  // namespace

void ListFolder(const TFileListQuery& query, QDXReply& reply, size_t maxEntryBytes) {
    const String folder = FolderToSearch(query.folder);
    const String mask = query.mask.Length() > 0 ? query.mask : String("*");
    int attr = attrAny;
    if (!query.hidden) attr &= ~attrHidden;
    if (!query.system) attr &= ~attrSystem;

    TListing listing(query, maxEntryBytes);
    if (query.subfolders) listing.Add(folder, "*", attr, true);
    if (query.files) listing.Add(folder, mask, attr, false);

    reply.SetResult("200");
    reply.AddStringParam(folder, 0);
    reply.AddIntParam(listing.Count());
    reply.AddIntParam(2 + query.size + query.changeTime + query.modifyTime);
    // The entries follow the count, which is known only now.
    String text = reply.Text();
    text.AddData(listing.Lines().data(), static_cast<int>(listing.Lines().size()));
    reply = text;
}

void ProcessInfo_GetFileList(const ZPRequest& request, QDXReply& reply) {
    if (!AnyFileTestAllowed(*CurrentSettings())) {
        reply.SetResult("600") += "test is not allowed";
        return;
    }
    TFileListQuery query;
    query.folder = GetPathParam(request, 1);
    query.mask = GetPathParam(request, 2);
    bool* flags[] = {&query.subfolders, &query.files,      &query.hidden,    &query.system,
                     &query.size,       &query.changeTime, &query.modifyTime};
    for (int i = 0; i < 7; i++) *flags[i] = qdxDecodeBool(request.GetParam(i + 3, 1));
    ListFolder(query, reply, kMaxEntryBytes);
}
