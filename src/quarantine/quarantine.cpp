// The quarantine's index and its use: see quarantine.h.
#include "quarantine/quarantine.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "fs/host.h"
#include "quarantine/store.h"
#include "text/escape.h"
#include "text/unicode.h"

namespace {

// One writer of the index at a time in this process: the walks that share a scan and the rescue.
std::mutex indexLock;

// Strings are written as qfscan's JSON output writes them (JsonString) and read back by
// LineReader::String to the same bytes.
std::string Field(const char* name, const std::string& value)
{
    return std::string(",\"") + name + "\":" + JsonString(value);
}

std::string Field(const char* name, uint64_t value)
{
    return std::string(",\"") + name + "\":" + std::to_string(value);
}

std::string SignedField(const char* name, int64_t value)
{
    return std::string(",\"") + name + "\":" + std::to_string(value);
}

bool FromHex(const std::string& hex, std::string* bytes)
{
    if (hex.size() % 2 != 0)
        return false;
    bytes->clear();
    for (size_t at = 0; at < hex.size(); at += 2) {
        unsigned value = 0;
        for (size_t i = at; i < at + 2; ++i) {
            const char c = hex[i];
            const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
            if (digit < 0)
                return false;
            value = value * 16 + static_cast<unsigned>(digit);
        }
        bytes->push_back(static_cast<char>(value));
    }
    return true;
}

// Reads the lines this file writes, and no other JSON: a flat object of strings, whole numbers
// and booleans, and the one object of strings that xattrs is. A general JSON reader would not
// do: it takes \u00ff for U+00FF, where the index means the byte FF of a name.
struct LineReader {
    const std::string& text;
    size_t at;

    void Space()
    {
        while (at < text.size() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\r'))
            ++at;
    }
    bool Take(char c)
    {
        Space();
        if (at < text.size() && text[at] == c) {
            ++at;
            return true;
        }
        return false;
    }
    bool String(std::string* out)
    {
        if (!Take('"'))
            return false;
        out->clear();
        while (at < text.size() && text[at] != '"') {
            char c = text[at++];
            if (c != '\\') {
                out->push_back(c);
                continue;
            }
            if (at >= text.size())
                return false;
            c = text[at++];
            if (c != 'u') {
                const char* from = "\"\\/bfnrt";
                const char* to = "\"\\/\b\f\n\r\t";
                const char* found = std::strchr(from, c);
                if (found == nullptr || c == '\0')
                    return false;
                out->push_back(to[found - from]);
                continue;
            }
            std::string hex;
            if (at + 4 > text.size() || !FromHex(text.substr(at, 4), &hex))
                return false;
            at += 4;
            const uint32_t point = (static_cast<uint8_t>(hex[0]) << 8) | static_cast<uint8_t>(hex[1]);
            // A byte as it was, never U+0080..U+00FF; a lone surrogate of a Windows name as WTF-8.
            char bytes[4];
            if (point < 0x100)
                out->push_back(static_cast<char>(point));
            else
                out->append(bytes, EncodeUtf8(point, bytes));
        }
        return Take('"');
    }
    bool Number(int64_t* value)
    {
        Space();
        const bool negative = at < text.size() && text[at] == '-';
        at += negative;
        const size_t start = at;
        uint64_t magnitude = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < 20)
            magnitude = magnitude * 10 + static_cast<uint64_t>(text[at++] - '0');
        *value = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
        return at > start;
    }
};

bool ReadField(LineReader* reader, const std::string& key, std::string* type, QuarantineRecord* record)
{
    FileMetadata& meta = record->metadata;
    if (key == "xattrs") {
        if (!reader->Take('{'))
            return false;
        if (reader->Take('}'))
            return true;
        do {
            std::string name, hex, value;
            if (!reader->String(&name) || !reader->Take(':') || !reader->String(&hex) || !FromHex(hex, &value))
                return false;
            meta.xattrs.emplace_back(name, value);
        } while (reader->Take(','));
        return reader->Take('}');
    }
    std::string* text = key == "type"     ? type
                        : key == "path"   ? &record->path
                        : key == "stored" ? &record->stored
                        : key == "sha256" ? &record->sha256
                        : key == "moved"  ? &record->moved
                        : key == "host"   ? &record->host
                        : key == "why"    ? &record->why
                        : key == "time"   ? &record->restored
                                          : nullptr;
    if (key == "security_descriptor") {
        std::string hex;
        return reader->String(&hex) && FromHex(hex, &meta.securityDescriptor);
    }
    std::string unused;  // a text this version does not know (a change's place and change)
    reader->Space();
    if (text != nullptr || (reader->at < reader->text.size() && reader->text[reader->at] == '"'))
        return reader->String(text != nullptr ? text : &unused);
    int64_t number = 0;
    if (!reader->Number(&number))
        return false;
    const auto whole = static_cast<uint64_t>(number);
    // A number out of the range of its field is no line this program wrote: a uid of 2^32 must
    // not become root's.
    const bool timeField = key == "atime_ns" || key == "mtime_ns";
    if ((number < 0 && !timeField) || (key == "mode" && whole > 07777) ||
        ((key == "uid" || key == "gid") && whole >= 0xFFFFFFFFu) || (key == "attributes" && whole > 0xFFFFFFFFu) ||
        (key == "size" && whole > (uint64_t{1} << 62)))
        return false;
    if (key == "size")
        record->size = whole;
    else if (key == "mode")
        meta.hasMode = true, meta.mode = static_cast<uint32_t>(whole);
    else if (key == "uid")
        meta.uid = static_cast<uint32_t>(whole);
    else if (key == "gid")
        meta.gid = static_cast<uint32_t>(whole);
    else if (key == "atime_ns")
        meta.atimeNs = number;
    else if (key == "mtime_ns")
        meta.mtimeNs = number;
    else if (key == "attributes")
        meta.hasAttributes = true, meta.attributes = static_cast<uint32_t>(whole);
    else if (key == "created")
        meta.created = whole;
    else if (key == "accessed")
        meta.accessed = whole;
    else if (key == "written")
        meta.written = whole;
    return true;  // a number this version does not know is passed over
}


}  // namespace

std::string HexOf(const uint8_t* bytes, size_t count)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (size_t i = 0; i < count; ++i) {
        hex += kDigits[bytes[i] >> 4];
        hex += kDigits[bytes[i] & 15];
    }
    return hex;
}

std::string StoredName(const std::string& sha256, unsigned n)
{
    return "q-" + sha256.substr(0, 16) + "-" + std::to_string(n) + ".quarantined";
}

std::string FormatFileLine(const QuarantineRecord& record)
{
    const FileMetadata& meta = record.metadata;
    std::string line = "{\"type\":\"file\"" + Field("path", record.path) + Field("stored", record.stored) +
                       Field("size", record.size) + Field("sha256", record.sha256) + Field("moved", record.moved) +
                       Field("host", record.host) + Field("why", record.why);
    if (meta.hasMode)
        line += Field("mode", meta.mode) + Field("uid", meta.uid) + Field("gid", meta.gid) +
                SignedField("atime_ns", meta.atimeNs) + SignedField("mtime_ns", meta.mtimeNs);
    if (meta.hasAttributes)
        line += Field("attributes", meta.attributes) + Field("created", meta.created) +
                Field("accessed", meta.accessed) + Field("written", meta.written);
    if (!meta.securityDescriptor.empty())
        line += Field("security_descriptor", HexOf(reinterpret_cast<const uint8_t*>(meta.securityDescriptor.data()),
                                                   meta.securityDescriptor.size()));
    if (!meta.xattrs.empty()) {
        line += ",\"xattrs\":{";
        for (size_t i = 0; i < meta.xattrs.size(); ++i) {
            const std::string& value = meta.xattrs[i].second;
            line += (i == 0 ? "" : ",") + JsonString(meta.xattrs[i].first) + ":" +
                    JsonString(HexOf(reinterpret_cast<const uint8_t*>(value.data()), value.size()));
        }
        line += "}";
    }
    return line + "}";
}

std::string FormatRestoredLine(const std::string& stored, const std::string& path, const std::string& time)
{
    return "{\"type\":\"restored\"" + Field("stored", stored) + Field("path", path) + Field("time", time) + "}";
}

std::string FormatNotMovedLine(const std::string& stored, const std::string& time)
{
    return "{\"type\":\"not_moved\"" + Field("stored", stored) + Field("time", time) + "}";
}

std::string FormatChangeLine(const std::string& place, const std::string& change, bool done, const std::string& time)
{
    return "{\"type\":\"change\"" + Field("place", place) + Field("change", change) +
           ",\"done\":" + (done ? "true" : "false") + Field("time", time) + "}";
}

bool ParseIndexLine(const std::string& line, std::string* type, QuarantineRecord* record)
{
    *record = QuarantineRecord{};
    type->clear();
    LineReader reader{line, 0};
    if (!reader.Take('{'))
        return false;
    do {
        std::string key;
        if (!reader.String(&key) || !reader.Take(':'))
            return false;
        if (reader.Take('t') || reader.Take('f')) {  // a boolean: no field of these lines needs one
            while (reader.at < line.size() && line[reader.at] >= 'a' && line[reader.at] <= 'z')
                ++reader.at;
            continue;
        }
        if (!ReadField(&reader, key, type, record))
            return false;
    } while (reader.Take(','));
    if (!reader.Take('}'))
        return false;
    reader.Space();
    return reader.at == line.size() && (*type == "file" || *type == "restored" || *type == "not_moved" || *type == "change");
}

bool IsStoredName(const std::string& name)
{
    // q-<16 hex digits>-<n>.quarantined, n from 1 without leading zeros
    const std::string tail = ".quarantined";
    if (name.size() < 2 + 16 + 2 + tail.size() || name.compare(0, 2, "q-") != 0 || name[18] != '-' ||
        name.compare(name.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    for (size_t i = 2; i < 18; ++i)
        if (!((name[i] >= '0' && name[i] <= '9') || (name[i] >= 'a' && name[i] <= 'f')))
            return false;
    const std::string number = name.substr(19, name.size() - 19 - tail.size());
    if (number.empty() || number.size() > 9 || number[0] == '0')
        return false;
    for (const char c : number)
        if (c < '0' || c > '9')
            return false;
    return true;
}

namespace {

bool IsSha256(const std::string& hex)
{
    if (hex.size() != 64)
        return false;
    for (const char c : hex)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

// An absolute path of the platform, every name in it a name: no "." or "..", no NUL.
bool IsPlainAbsolutePath(const std::string& path)
{
    if (path.find('\0') != std::string::npos)
        return false;
    const bool absolute = kFsSeparator == '/' ? !path.empty() && path[0] == '/'
                                              : (path.size() > 2 && path[1] == ':' && path[2] == '\\' &&
                                                 ((path[0] | 0x20) >= 'a' && (path[0] | 0x20) <= 'z')) ||
                                                    path.compare(0, 2, "\\\\") == 0;
    if (!absolute)
        return false;
    for (size_t at = 0; at <= path.size();) {
        size_t end = path.find(kFsSeparator, at);
        end = end == std::string::npos ? path.size() : end;
        const std::string name = path.substr(at, end - at);
        if (name == "." || name == "..")
            return false;
        at = end + 1;
    }
    return true;
}

}  // namespace

bool CheckRecord(const std::string& type, const QuarantineRecord& record, std::string* why)
{
    if (type == "change")
        return true;
    if (!IsStoredName(record.stored))
        *why = "its stored name is none this quarantine gives";
    else if (type != "file")
        return true;
    else if (!IsSha256(record.sha256))
        *why = "its sha256 is no 64 hex digits";
    else if (record.stored.compare(2, 16, record.sha256, 0, 16) != 0)
        *why = "its stored name is not of its sha256";
    else if (!IsPlainAbsolutePath(record.path))
        *why = "its path is no plain absolute path";
    else
        return true;
    return false;
}

IndexFold FoldIndex(const std::string& text)
{
    IndexFold fold;
    std::unordered_map<std::string, size_t> byName;  // stored name: its record
    std::vector<bool> dropped;
    size_t number = 0;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        const bool cut = end == std::string::npos;
        end = cut ? text.size() : end;
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        ++number;
        if (line.empty())
            continue;
        std::string type, why;
        QuarantineRecord record;
        if (!ParseIndexLine(line, &type, &record)) {
            if (cut)
                fold.tornLine = number;
            else
                fold.problems.push_back("line " + std::to_string(number) + ": cannot be read");
            continue;
        }
        if (!CheckRecord(type, record, &why)) {
            ++fold.refused;
            fold.problems.push_back("line " + std::to_string(number) + ": " + why);
            continue;
        }
        if (type == "change")
            continue;
        const auto found = byName.find(record.stored);
        if (type == "file" && found == byName.end()) {
            byName.emplace(record.stored, fold.records.size());
            fold.records.push_back(record);
            dropped.push_back(false);
        } else if (type == "file") {
            fold.records[found->second] = record;
            dropped[found->second] = false;
        } else if (found != byName.end() && type == "not_moved") {
            dropped[found->second] = true;
        } else if (found != byName.end()) {
            fold.records[found->second].restored = record.restored;
        }
    }
    size_t kept = 0;
    for (size_t i = 0; i < fold.records.size(); ++i)
        if (!dropped[i] && kept++ != i)
            fold.records[kept - 1] = std::move(fold.records[i]);
    fold.records.resize(kept);
    return fold;
}

namespace {

// A quarantine folder as this process holds it.
struct Opened {
    Store store = nullptr;
    bool indexed = false;    // its index is open
    uint64_t readTo = 0;     // the index read so far: whole lines only
    std::unordered_set<std::string> names;  // the stored names its index gives
    bool listed = false;                    // present holds the folder's listing (QuarantineRead)
    std::unordered_set<std::string> present;
};

// The folders opened, by the path they were named by; held until the process ends. Under
// indexLock.
std::map<std::string, Opened>& OpenedFolders()
{
    static struct Folders {
        std::map<std::string, Opened> opened;
        ~Folders()
        {
            for (auto& folder : opened)
                StoreClose(folder.second.store);
        }
    } folders;
    return folders.opened;
}

// The quarantine folder, opened (and its index, made when create is set) on its first use.
// Under indexLock.
Opened* Open(const std::string& folder, bool create, std::string* why)
{
    auto found = OpenedFolders().find(folder);
    if (found == OpenedFolders().end()) {
        Store store;
        if (!StoreOpen(folder, &store, why)) {
            *why = "refused: " + *why;
            return nullptr;
        }
        found = OpenedFolders().emplace(folder, Opened{}).first;
        found->second.store = store;
    }
    Opened& opened = found->second;
    bool missing = false;
    if (!opened.indexed) {
        std::string reason;
        const bool empty = StoreEmpty(opened.store);
        if (!StoreOpenIndex(opened.store, create && empty, &missing, &reason)) {
            *why = missing && !empty ? "holds files but no " + std::string(kQuarantineIndex) +
                                           ": not a quarantine (give an empty folder)"
                   : missing ? "no " + std::string(kQuarantineIndex) + ": not a quarantine"
                             : "refused: " + reason;
            return nullptr;
        }
        opened.indexed = true;
    }
    return &opened;
}

// Takes in what other runs appended since the last read. Under the store's lock.
bool CatchUp(Opened* opened, std::string* why)
{
    std::string text;
    if (!StoreReadIndex(opened->store, opened->readTo, &text, why))
        return false;
    const size_t whole = text.rfind('\n');
    if (whole == std::string::npos)
        return true;  // nothing, or a line not yet whole
    for (size_t at = 0; at <= whole;) {
        const size_t end = text.find('\n', at);
        std::string type;
        QuarantineRecord record;
        if (ParseIndexLine(text.substr(at, end - at), &type, &record) && !record.stored.empty())
            opened->names.insert(record.stored);
        at = end + 1;
    }
    opened->readTo += whole + 1;
    return true;
}

bool Append(Opened* opened, const std::string& line)
{
    if (!StoreLock(opened->store))
        return false;
    const bool done = StoreAppend(opened->store, line);
    StoreUnlock(opened->store);
    return done;
}

}  // namespace

FsDisposal QuarantineFile(const char* folder, FsFile* file, const char* path, const char* why, char* target,
                          size_t capacity)
{
    QuarantineRecord record;
    uint8_t digest[32];
    auto fail = [file](int error) {
        FsClose(file);
        return FsDisposal{FsOutcome::NotDone, error};
    };
    if (!StoreDigest(*file, digest, &record.size) || !StoreReadMetadata(*file, &record.metadata))
        return fail(FsLastError());
    record.path = path;
    record.sha256 = HexOf(digest, sizeof digest);
    record.moved = UtcTimestamp();
    record.why = why;
    record.host = HostName();
    std::lock_guard<std::mutex> hold(indexLock);
    std::string reason;
    Opened* opened = Open(folder, true, &reason);  // an empty folder becomes a quarantine
    if (opened == nullptr || !StoreLock(opened->store))
        return fail(FsLastError());
    // A stored name that no line of the index (this run's or another's) and no file of the folder has.
    bool written = CatchUp(opened, &reason);
    for (unsigned n = 1; written; ++n) {
        record.stored = StoredName(record.sha256, n);
        if (opened->names.count(record.stored) == 0 && !StoreNameUsed(opened->store, record.stored) &&
            !StoreNameUsed(opened->store, StorePartName(record.stored)))
            break;
    }
    // The record is on the disk before the file leaves its place.
    written = written && StoreAppend(opened->store, FormatFileLine(record));
    const int error = FsLastError();
    written = written && CatchUp(opened, &reason);
    StoreUnlock(opened->store);
    if (!written)
        return fail(error);
    const FsDisposal done = StoreTake(opened->store, file, record.stored, target, capacity);
    if (done.outcome == FsOutcome::NotDone)
        Append(opened, FormatNotMovedLine(record.stored, UtcTimestamp()));  // the file stayed where it was
    return done;
}

bool QuarantineNoteChange(const char* folder, const std::string& place, const std::string& change, bool done)
{
    std::lock_guard<std::mutex> hold(indexLock);
    std::string why;
    Opened* opened = Open(folder, true, &why);
    return opened != nullptr && Append(opened, FormatChangeLine(place, change, done, UtcTimestamp()));
}

bool QuarantineReady(const std::string& folder, bool create, std::string* why)
{
    std::lock_guard<std::mutex> hold(indexLock);
    if (Open(folder, create, why) != nullptr)
        return true;
    // Not yet made (a dry run, or the check before the log opens): an empty folder will do.
    // Another run into the same new folder may have made it a quarantine since: then it is one.
    const auto found = OpenedFolders().find(folder);
    return !create && found != OpenedFolders().end() &&
           (StoreEmpty(found->second.store) || Open(folder, false, why) != nullptr);
}

bool QuarantineRead(const std::string& folder, IndexFold* fold, std::string* why)
{
    std::lock_guard<std::mutex> hold(indexLock);
    Opened* opened = Open(folder, false, why);
    if (opened == nullptr)
        return false;
    std::string text;
    if (!StoreLock(opened->store)) {
        *why = std::string(kQuarantineIndex) + " cannot be locked";
        return false;
    }
    const bool read = StoreReadIndex(opened->store, 0, &text, why);
    StoreUnlock(opened->store);
    if (!read)
        return false;
    *fold = FoldIndex(text);
    // One listing of the folder answers for every record that it does not hold.
    std::vector<std::string> names;
    opened->listed = StoreNames(opened->store, &names);
    opened->present = std::unordered_set<std::string>(names.begin(), names.end());
    // A move killed between its steps left the file under its part name: it is finished now.
    for (const QuarantineRecord& record : fold->records) {
        FsFile part;
        if (!record.restored.empty() || (opened->listed && opened->present.count(StorePartName(record.stored)) == 0) ||
            StoreHolds(opened->store, record.stored) ||
            !StoreOpenStored(opened->store, StorePartName(record.stored), &part))
            continue;
        uint8_t digest[32];
        uint64_t size = 0;
        const bool same = StoreDigest(part, digest, &size) && HexOf(digest, sizeof digest) == record.sha256 &&
                          size == record.size;
        FsClose(&part);
        if (same && StoreFinishPart(opened->store, record.stored))
            opened->present.insert(record.stored);
    }
    return true;
}

bool QuarantineHolds(const std::string& folder, const QuarantineRecord& record)
{
    std::lock_guard<std::mutex> hold(indexLock);
    std::string why;
    Opened* opened = Open(folder, false, &why);
    return opened != nullptr && (!opened->listed || opened->present.count(record.stored) != 0) &&
           StoreHolds(opened->store, record.stored);
}

bool QuarantineRestore(const std::string& folder, const QuarantineRecord& record, std::string* why)
{
    std::lock_guard<std::mutex> hold(indexLock);
    if (!record.restored.empty()) {
        *why = "restored already, " + record.restored;
        return false;
    }
    Opened* opened = Open(folder, false, why);
    if (opened == nullptr)
        return false;
    FsFile file;
    if (!StoreOpenStored(opened->store, record.stored, &file)) {
        *why = "not in the quarantine (" + record.stored + " is gone)";
        return false;
    }
    uint8_t digest[32];
    uint64_t size = 0;
    const bool read = StoreDigest(file, digest, &size);
    if (!read || HexOf(digest, sizeof digest) != record.sha256 || size != record.size) {
        FsClose(&file);
        *why = read ? record.stored + " changed since it was moved (its SHA-256 is another)"
                    : record.stored + " cannot be read";
        return false;
    }
    // What goes back is the file hashed: held open until it is back (on Windows nobody may write
    // it meanwhile).
    FileMetadata metadata = record.metadata;
    metadata.mode &= 01777;
    const bool given = StoreGiveBack(opened->store, file, record.stored, record.path, metadata, why);
    FsClose(&file);
    if (!given)
        return false;
    // The file is back: an index that cannot say so makes a note of the restore, not its failure.
    if (!Append(opened, FormatRestoredLine(record.stored, record.path, UtcTimestamp())))
        *why += (why->empty() ? "not marked so in " : "; not marked so in ") + std::string(kQuarantineIndex);
    return true;
}
