// The quarantine's index and its use: see quarantine.h.
#include "quarantine/quarantine.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "fs/unicode.h"
#include "quarantine/store.h"

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
            if (point < 0x100) {
                out->push_back(static_cast<char>(point));  // a byte as it was, never U+0080..U+00FF
            } else if (point < 0x800) {
                out->push_back(static_cast<char>(0xC0 | (point >> 6)));
                out->push_back(static_cast<char>(0x80 | (point & 0x3F)));
            } else {
                out->push_back(static_cast<char>(0xE0 | (point >> 12)));
                out->push_back(static_cast<char>(0x80 | ((point >> 6) & 0x3F)));
                out->push_back(static_cast<char>(0x80 | (point & 0x3F)));
            }
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

std::string Join(const std::string& folder, const std::string& name)
{
    return folder.empty() || folder.back() == kFsSeparator ? folder + name : folder + kFsSeparator + name;
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

std::vector<QuarantineRecord> FoldIndex(const std::string& text, size_t* bad)
{
    std::vector<QuarantineRecord> records;
    *bad = 0;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        if (line.empty())
            continue;
        std::string type;
        QuarantineRecord record;
        if (!ParseIndexLine(line, &type, &record)) {
            ++*bad;
            continue;
        }
        if (type == "change")
            continue;
        size_t i = 0;
        while (i < records.size() && records[i].stored != record.stored)
            ++i;
        if (type == "file" && i == records.size())
            records.push_back(record);
        else if (type == "file")
            records[i] = record;
        else if (i < records.size() && type == "not_moved")
            records.erase(records.begin() + static_cast<std::ptrdiff_t>(i));
        else if (i < records.size())
            records[i].restored = record.restored;
    }
    return records;
}

FsDisposal QuarantineFile(const char* folder, FsFile* file, const char* path, const char* why, char* target,
                          size_t capacity)
{
    QuarantineRecord record;
    uint8_t digest[32];
    if (!StoreDigest(*file, digest, &record.size) || !StoreReadMetadata(*file, &record.metadata)) {
        const FsDisposal failed{FsOutcome::NotDone, FsLastError()};
        FsClose(file);
        return failed;
    }
    record.path = path;
    record.sha256 = HexOf(digest, sizeof digest);
    record.moved = UtcTimestamp();
    record.why = why;
    std::lock_guard<std::mutex> hold(indexLock);
    // A stored name no file of the folder has, and no line of its index names.
    std::string text;
    const std::string index = Join(folder, kQuarantineIndex);
    StoreReadText(index, &text);
    for (unsigned n = 1;; ++n) {
        record.stored = StoredName(record.sha256, n);
        if (text.find("\"" + record.stored + "\"") == std::string::npos && !FsIsFile(Join(folder, record.stored).c_str()))
            break;
    }
    record.host = HostName();
    if (!StoreAppend(index, FormatFileLine(record))) {
        const FsDisposal failed{FsOutcome::NotDone, FsLastError()};
        FsClose(file);
        return failed;
    }
    const FsDisposal done = FsDispose(file, folder, false, target, capacity, record.stored.c_str());
    if (done.outcome == FsOutcome::NotDone)
        StoreAppend(index, FormatNotMovedLine(record.stored, UtcTimestamp()));  // the file stayed where it was
    return done;
}

bool QuarantineNoteChange(const char* folder, const std::string& place, const std::string& change, bool done)
{
    std::lock_guard<std::mutex> hold(indexLock);
    return StoreAppend(Join(folder, kQuarantineIndex), FormatChangeLine(place, change, done, UtcTimestamp()));
}

bool QuarantineReady(const std::string& folder, bool create, std::string* why)
{
    const std::string index = Join(folder, kQuarantineIndex);
    if (FsIsFile(index.c_str()))
        return true;
    if (!StoreFolderEmpty(folder)) {
        *why = "holds files but no " + std::string(kQuarantineIndex) + ": not a quarantine (give an empty folder)";
        return false;
    }
    if (create && !StoreAppend(index, "")) {
        char text[256];
        FsErrorText(FsLastError(), text, sizeof text);
        *why = std::string(kQuarantineIndex) + " cannot be made: " + text;
        return false;
    }
    return true;
}

bool QuarantineRead(const std::string& folder, std::vector<QuarantineRecord>* records, std::string* why)
{
    std::string text;
    if (!FsIsFile(Join(folder, kQuarantineIndex).c_str())) {
        *why = "no " + std::string(kQuarantineIndex) + ": not a quarantine";
        return false;
    }
    if (!StoreReadText(Join(folder, kQuarantineIndex), &text)) {
        char error[256];
        FsErrorText(FsLastError(), error, sizeof error);
        *why = std::string(kQuarantineIndex) + " cannot be read: " + error;
        return false;
    }
    size_t bad = 0;
    *records = FoldIndex(text, &bad);
    if (bad > 0) {
        *why = std::string(kQuarantineIndex) + ": " + std::to_string(bad) + " line(s) cannot be read";
        return false;
    }
    return true;
}

bool QuarantineHolds(const std::string& folder, const QuarantineRecord& record)
{
    return FsIsFile(Join(folder, record.stored).c_str());
}

bool QuarantineRestore(const std::string& folder, const QuarantineRecord& record, std::string* why)
{
    const std::string stored = Join(folder, record.stored);
    if (!record.restored.empty()) {
        *why = "restored already, " + record.restored;
        return false;
    }
    FsFile file;
    if (!FsOpenFile(stored.c_str(), &file)) {
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
    // it meanwhile), and still the one its stored name names.
    if (!StoreSameFile(file, stored)) {
        FsClose(&file);
        *why = record.stored + " changed since it was hashed (another file has its name)";
        return false;
    }
    const bool given = StoreGiveBack(stored, record.path, record.metadata, why);
    FsClose(&file);
    if (!given)
        return false;
    std::lock_guard<std::mutex> hold(indexLock);
    if (!StoreAppend(Join(folder, kQuarantineIndex), FormatRestoredLine(record.stored, record.path, UtcTimestamp()))) {
        *why = "restored, but not marked so in " + std::string(kQuarantineIndex);
        return false;
    }
    return true;
}
