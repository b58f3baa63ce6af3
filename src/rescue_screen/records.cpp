// The init's volume records, qfscan's volume results, and MountedDevices' drive letters.
#include "rescue_screen/records.h"

#include <cstdio>

namespace {

bool Digits(const std::string& text, uint64_t* value)
{
    if (text.empty() || text.size() > 20)
        return false;
    uint64_t sum = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (sum > (UINT64_MAX - digit) / 10)
            return false;
        sum = sum * 10 + digit;
    }
    *value = sum;
    return true;
}

bool Hex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::string Lower(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// 8 hex digits, lower-cased; empty for anything else.
std::string Signature(const std::string& text)
{
    if (text.size() != 8)
        return "";
    for (const char c : text)
        if (!Hex(c))
            return "";
    return Lower(text);
}

// A GUID as blkid prints it (8-4-4-4-12 hex digits), lower-cased; empty for anything else.
std::string Guid(const std::string& text)
{
    if (text.size() != 36)
        return "";
    for (size_t i = 0; i < text.size(); ++i)
        if ((i == 8 || i == 13 || i == 18 || i == 23) ? text[i] != '-' : !Hex(text[i]))
            return "";
    return Lower(text);
}

uint64_t LittleEndian(const std::string& data, size_t at, size_t count)
{
    uint64_t value = 0;
    for (size_t i = 0; i < count; ++i)
        value |= uint64_t{static_cast<unsigned char>(data[at + i])} << (8 * i);
    return value;
}

int32_t Count(const std::string& text)
{
    uint64_t value = 0;
    return Digits(text, &value) && value <= INT32_MAX ? static_cast<int32_t>(value) : 0;
}

// The lines of a record or result file, as far as the largest one this program reads.
std::vector<std::string> RecordLines(const std::string& text)
{
    std::vector<std::string> lines;
    const std::string shown = text.substr(0, kLargestRecord);
    for (size_t at = 0; at < shown.size();) {
        size_t end = shown.find('\n', at);
        if (end == std::string::npos)
            end = shown.size();
        lines.push_back(shown.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

}  // namespace

VolumeRecord ParseVolumeRecord(const std::string& text)
{
    VolumeRecord record{};
    for (const std::string& line : RecordLines(text)) {
        const size_t equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        const std::string key = line.substr(0, equals), value = line.substr(equals + 1);
        if (key == "device") record.device = value;
        else if (key == "disk") record.disk = value;
        else if (key == "size_bytes") Digits(value, &record.sizeBytes);
        else if (key == "fs") record.fs = value;
        else if (key == "fs_detail") record.fsDetail = value;
        else if (key == "label") record.label = value;
        else if (key == "mbr_signature") record.mbrSignature = Signature(value);
        else if (key == "offset_bytes") record.hasOffset = Digits(value, &record.offsetBytes);
        else if (key == "gpt_guid") record.gptGuid = Guid(value);
        else if (key == "bitlocker") record.bitlocker = value == "yes";
        else if (key == "state") record.scan = value == "scan";
        else if (key == "why") record.why = value;
        else if (key == "detail") record.detail = value;
        else if (key == "mount") record.mount = value;
        else if (key == "writable") record.writable = value == "yes";
        else if (key == "readonly_why") record.readonlyWhy = value;
        else if (key == "clean_mount_failed") record.cleanMountFailed = value == "yes";
    }
    return record;
}

bool DecodeMountedDevice(const std::string& name, const std::string& data, DriveLetter* letter)
{
    // "\DosDevices\C:", in any letter case.
    const std::string prefix = "\\dosdevices\\";
    if (name.size() != prefix.size() + 2 || Lower(name.substr(0, prefix.size())) != prefix || name.back() != ':')
        return false;
    char drive = name[prefix.size()];
    if (drive >= 'a' && drive <= 'z')
        drive = static_cast<char>(drive - 'a' + 'A');
    if (drive < 'A' || drive > 'Z')
        return false;
    *letter = DriveLetter{drive, false, "", 0, ""};
    char text[40];
    if (data.size() == 12) {
        std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(LittleEndian(data, 0, 4)));
        letter->mbr = text;
        letter->offset = LittleEndian(data, 4, 8);
        return true;
    }
    if (data.size() == 24 && data.compare(0, 8, "DMIO:ID:") == 0) {
        // A GUID's first three fields are little-endian, the last eight bytes as they stand.
        std::snprintf(text, sizeof text, "%08x-%04x-%04x-", static_cast<unsigned>(LittleEndian(data, 8, 4)),
                      static_cast<unsigned>(LittleEndian(data, 12, 2)), static_cast<unsigned>(LittleEndian(data, 14, 2)));
        letter->guid = text;
        for (size_t i = 16; i < 24; ++i) {
            std::snprintf(text, sizeof text, i == 17 ? "%02x-" : "%02x", static_cast<unsigned char>(data[i]));
            letter->guid += text;
        }
        letter->gpt = true;
        return true;
    }
    return false;
}

bool LetterNames(const DriveLetter& letter, const VolumeRecord& record)
{
    if (letter.gpt)
        return !record.gptGuid.empty() && record.gptGuid == letter.guid;
    return !record.mbrSignature.empty() && record.hasOffset && record.mbrSignature == letter.mbr &&
           record.offsetBytes == letter.offset;
}

std::string FormatVolumeResult(const VolumeResult& r)
{
    auto yes = [](bool value) { return value ? "yes" : "no"; };
    char text[512];
    std::snprintf(text, sizeof text,
                  "exit=%d\npass=%s\nkind=%s\nrepair=%s\nworm_found=%s\ndirectories=%d\nfiles=%d\ninfected=%d\n"
                  "deleted=%d\nskipped=%d\nnot_handled=%d\nchanges_done=%d\nchanges_planned=%d\nchanges_failed=%d\n"
                  "stopped=%s\nto_do=%s\n",
                  r.exitCode, r.clean ? "clean" : "check", r.system ? "system" : "data",
                  !r.system ? "none" : r.repairRefused ? "refused" : "done", yes(r.wormFound), r.directories, r.files,
                  r.infected, r.deleted, r.skipped, r.notHandled, r.changesDone, r.changesPlanned, r.changesFailed,
                  yes(r.stopped), yes(r.toDo));
    std::string out = text;
    for (const DriveLetter& letter : r.letters) {
        if (letter.gpt)
            std::snprintf(text, sizeof text, "letter=%c gpt=%s\n", letter.letter, letter.guid.c_str());
        else
            std::snprintf(text, sizeof text, "letter=%c mbr=%s offset=%llu\n", letter.letter, letter.mbr.c_str(),
                          static_cast<unsigned long long>(letter.offset));
        out += text;
    }
    return out;
}

VolumeResult ParseVolumeResult(const std::string& text)
{
    VolumeResult r{};
    r.exitCode = -1;
    for (const std::string& line : RecordLines(text)) {
        const size_t equals = line.find('=');
        const std::string key = line.substr(0, equals), value = equals == std::string::npos ? "" : line.substr(equals + 1);
        uint64_t number = 0;
        if (key == "exit" && Digits(value, &number) && number <= 255) r.exitCode = static_cast<int>(number);
        else if (key == "pass") r.clean = value == "clean";
        else if (key == "kind") r.system = value == "system";
        else if (key == "repair") r.repairRefused = value == "refused";
        else if (key == "worm_found") r.wormFound = value == "yes";
        else if (key == "directories") r.directories = Count(value);
        else if (key == "files") r.files = Count(value);
        else if (key == "infected") r.infected = Count(value);
        else if (key == "deleted") r.deleted = Count(value);
        else if (key == "skipped") r.skipped = Count(value);
        else if (key == "not_handled") r.notHandled = Count(value);
        else if (key == "changes_done") r.changesDone = Count(value);
        else if (key == "changes_planned") r.changesPlanned = Count(value);
        else if (key == "changes_failed") r.changesFailed = Count(value);
        else if (key == "stopped") r.stopped = value == "yes";
        else if (key == "to_do") r.toDo = value == "yes";
        else if (key == "letter" && value.size() >= 7 && value[0] >= 'A' && value[0] <= 'Z' && value[1] == ' ') {
            DriveLetter letter{value[0], false, "", 0, ""};
            const std::string rest = value.substr(2);
            const size_t space = rest.find(" offset=");
            if (rest.compare(0, 4, "gpt=") == 0 && !Guid(rest.substr(4)).empty()) {
                letter.gpt = true;
                letter.guid = Guid(rest.substr(4));
                r.letters.push_back(letter);
            } else if (rest.compare(0, 4, "mbr=") == 0 && space == 12 && !Signature(rest.substr(4, 8)).empty() &&
                       Digits(rest.substr(space + 8), &letter.offset)) {
                letter.mbr = Signature(rest.substr(4, 8));
                r.letters.push_back(letter);
            }
        }
    }
    r.present = r.exitCode >= 0;
    return r;
}
