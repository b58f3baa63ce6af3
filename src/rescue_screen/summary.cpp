// The rescue's summary, its words and its layout.
#include "rescue_screen/summary.h"

#include <algorithm>
#include <cctype>
#include <utility>
#include <cstdio>

#include "console/report.h"  // the exit codes
#include "text/escape.h"
#include "text/unicode.h"

namespace {

const char kClean[] = "Boot this stick again and choose Clean this PC.";
const char kShutDown[] =
    "Start Windows, hold Shift while you click Shut down (so that Windows closes the volume fully), then boot "
    "this stick again and choose Clean this PC.";
const char kNotCleaned[] =
    "This run did not clean it (the report says why): boot this stick again and choose Clean this PC; if it is "
    "still not cleaned, ask a technician.";
const char kDiskCheck[] =
    "Windows has scheduled a check of this volume: start Windows, let the check finish, shut down, then boot this "
    "stick again.";

std::string Plural(int32_t count, const char* one, const char* many)
{
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string Size(uint64_t bytes)
{
    // Windows' own units: 1024-based, one decimal under 100.
    const char* const units[] = {"bytes", "KB", "MB", "GB", "TB", "PB"};
    double value = static_cast<double>(bytes);
    size_t unit = 0;
    while (value >= 1024 && unit + 1 < sizeof units / sizeof units[0]) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    if (unit == 0)
        std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
    else
        std::snprintf(text, sizeof text, value < 100 ? "%.1f %s" : "%.0f %s", value, units[unit]);
    return text;
}

// The record's file system as people name it.
std::string FileSystem(const VolumeRecord& record)
{
    std::string detail = record.fsDetail;
    for (char& c : detail)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (!record.fsDetail.empty() && detail != record.fs)  // blkid's TYPE says no more than fs
        return PlainText(record.fsDetail);
    const char* const names[][2] = {{"ntfs", "NTFS"}, {"vfat", "FAT"}, {"exfat", "exFAT"}, {"refs", "ReFS"},
                                    {"bitlocker", "BitLocker"}, {"ldm", "dynamic disk"},
                                    {"storage-spaces", "Storage Spaces"}, {"linux", "Linux"}, {"swap", "swap"},
                                    {"lvm", "Linux LVM"}, {"empty", "empty"}, {"unknown", "unknown file system"}};
    for (const auto& name : names)
        if (record.fs == name[0])
            return name[1];
    return PlainText(record.fs);
}

std::string Base(const std::string& device)
{
    const size_t slash = device.rfind('/');
    return slash == std::string::npos ? device : device.substr(slash + 1);
}

struct Said {
    std::string verdict;
    std::string next;
    int exitCode;
    bool found;        // the worm was found on it
    bool unchecked;    // it can hold Windows programs and was not fully checked
};

std::string Detail(const VolumeRecord& record)
{
    return record.detail.empty() ? "" : " (" + PlainText(record.detail) + ")";
}

Said SkippedVolume(const VolumeRecord& record)
{
    const std::string& why = record.why;
    const char* kNotHere = "Nothing was changed. Check it from Windows with Quenfold.";
    Said said{"NOT SCANNED: ", kNotHere, kExitError, false, HoldsWindowsPrograms(record)};
    if (why == "refs") {
        said.verdict += "ReFS, which this rescue cannot read.";
    } else if (why == "dynamic") {
        said.verdict += "part of a dynamic disk of Windows, which this rescue cannot read.";
    } else if (why == "storage-spaces") {
        said.verdict += "part of a Windows storage space, which this rescue cannot read.";
    } else if (why == "linux" || why == "swap" || why == "empty") {
        said.verdict = why == "empty" ? "Not scanned: empty, nothing on it to scan."
                       : why == "swap" ? "Not scanned: swap space, which holds no programs."
                                       : "Not scanned: a Linux file system, where Windows keeps no programs.";
        said.next = "Nothing was changed; nothing to do.";
        said.exitCode = kExitClean;
    } else if (why == "locked-no-key") {
        said.verdict += "locked with BitLocker, and no key for it was given.";
        said.next = "Type the recovery key of this volume: boot this stick again and type it when asked (or put it "
                    "in quenfold.cfg). Nothing was changed.";
    } else if (why == "key-skipped") {
        said.verdict += "locked with BitLocker; no recovery key was typed.";
        said.next = "Type the recovery key of this volume: boot this stick again and type it when asked. Nothing "
                    "was changed.";
    } else if (why == "tpm-only" || why == "smartcard-only") {
        said.verdict += why == "tpm-only" ? "locked with BitLocker, which opens it only with this PC's TPM."
                                          : "locked with BitLocker, which opens it only with a smart card.";
        said.next = "Find the recovery key of this volume in the owner's account (Windows offers to save it there "
                    "when BitLocker is turned on), boot this stick again and type it when asked. Nothing was "
                    "changed.";
    } else if (why == "unreadable") {
        said.verdict += "it cannot be read" + Detail(record) + ".";
        said.next = "Nothing was changed. The disk may be failing: ask a technician.";
        return said;
    } else if (why == "not-mounted") {
        said.verdict += "it could not be mounted" + Detail(record) + ".";
        said.next = "Nothing was changed. Start Windows, let it check the volume, shut down, then boot this stick "
                    "again.";
        return said;
    } else {
        said.verdict += "a file system this rescue does not know" +
                        (record.fsDetail.empty() ? "" : " (" + PlainText(record.fsDetail) + ")") + ".";
    }
    said.verdict += Detail(record).empty() || why == "unknown-fs" ? "" : " " + Detail(record).substr(1);
    return said;
}

std::string Counts(const VolumeResult& result)
{
    return Plural(result.files, "file", "files") + " in " + Plural(result.directories, "folder", "folders") +
           " scanned";
}

// What the scan of a volume came to.
Said ScannedVolume(const VolumeRecord& record, const VolumeResult& result, bool clean)
{
    Said said{"", "", result.exitCode, result.wormFound || result.infected > 0, false};
    if (!result.present) {
        said = {"NOT CHECKED: its scan did not finish.", "Boot this stick again; if this comes back, ask a technician.",
                kExitError, false, true};
        return said;
    }
    const bool cleaned = result.clean;
    std::string found;
    if (result.infected > 0)
        found = Plural(result.infected, "infected file", "infected files");
    if (result.system && result.wormFound && (result.changesPlanned > 0 || result.changesDone > 0 || result.changesFailed > 0))
        found += std::string(found.empty() ? "" : ", ") + "the worm's registry entries or files";
    std::string changes;
    if (cleaned) {
        if (result.deleted > 0)
            changes += Plural(result.deleted, "infected file", "infected files") + " deleted";
        if (result.changesDone > 0)
            changes += (changes.empty() ? "" : ", ") + Plural(result.changesDone, "change", "changes") + " made";
    } else if (result.changesPlanned > 0) {
        changes = Plural(result.changesPlanned, "change", "changes") + " of the registry and the worm's files needed";
    }
    std::string refused;
    if (result.notHandled > 0)
        refused += Plural(result.notHandled, "infected file", "infected files") + " could not be deleted";
    if (result.changesFailed > 0)
        refused += (refused.empty() ? "" : ", ") + Plural(result.changesFailed, "change", "changes") +
                   (cleaned ? " failed" : " could not be made");
    const std::string counts = Counts(result);
    const std::string unchanged = cleaned && (result.deleted > 0 || result.changesDone > 0) ? "" : " Nothing was changed.";
    const bool stopped = result.stopped || result.exitCode < 0 || result.exitCode > kExitRestart;
    if (result.exitCode == kExitClean && !said.found) {
        said.verdict = "No Zaverin found: " + counts + ".";
        said.next = cleaned ? "Nothing to do: start Windows." : "Nothing to do. Nothing was changed.";
        return said;
    }
    if (result.exitCode == kExitError || stopped) {
        said.unchecked = true;
        said.exitCode = kExitError;
        std::string what;
        if (stopped)
            what = "the scan was stopped";
        else if (result.repairRefused)
            what = "the system's registry could not be read or may not be written";
        if (result.skipped > 0)
            what += (what.empty() ? "" : "; ") + Plural(result.skipped, "file or folder", "files or folders") +
                    " could not be read";
        if (!refused.empty())
            what += (what.empty() ? "" : "; ") + refused;
        if (what.empty())
            what = "not everything could be checked";
        said.verdict = std::string(said.found ? "INFECTED, NOT FULLY CHECKED: " + found + "; " : "NOT FULLY CHECKED: ") +
                       what + "; " + counts + (changes.empty() ? "" : "; " + changes) + "." + unchanged;
        said.next = !refused.empty() ? "Each change that was refused or failed is in the report, with its reason; "
                                       "start Windows with Quenfold or ask a technician."
                    : said.found && !cleaned && record.writable ? (clean ? kNotCleaned : kClean)
                    : said.found && !cleaned ? kShutDown
                                             : "What could not be read is in the report; check it from Windows with "
                                               "Quenfold.";
        return said;
    }
    if (cleaned) {
        said.verdict = "CLEANED: " + found + " found; " + changes + "; " + counts + ".";
        said.next = "Start Windows. To be sure, boot this stick again and choose Check this PC.";
        return said;
    }
    said.verdict = "INFECTED: " + found + "; " + counts + (changes.empty() ? "" : "; " + changes) + "." + unchanged;
    if (clean && record.cleanMountFailed)
        said.next = "It could not be opened for writing, so nothing was changed: start Windows, let it check the "
                    "volume, shut down, then boot this stick again and choose Clean this PC.";
    else if (clean && record.writable)
        said.next = kNotCleaned;
    else if (record.readonlyWhy == "check-mode" || record.readonlyWhy.empty())
        said.next = kClean;
    // A volume that no pass of this rescue may write: Clean alone would change nothing there either.
    else if (record.readonlyWhy == "bitlocker-suspended")
        said.next = "Its BitLocker is suspended, which lets this rescue read it but not change it: give its recovery "
                    "key (type it when asked, or in quenfold.cfg), boot this stick again and choose Clean this PC.";
    else if (record.readonlyWhy == "dirty")
        said.next = kDiskCheck;
    else
        said.next = kShutDown;  // hibernated, or not shut down cleanly
    return said;
}

int Worse(int a, int b)
{
    // A volume not fully checked outweighs one infected, which outweighs one clean.
    auto rank = [](int code) { return code == kExitError ? 3 : code == kExitInfected ? 2 : code == kExitRestart ? 1 : 0; };
    return rank(a) >= rank(b) ? a : b;
}

// Whether a character takes two columns on a console.
bool Wide(uint32_t c)
{
    return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF && c != 0x303F) ||
           (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) ||
           (c >= 0xFF00 && c <= 0xFF60) || (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1F64F) ||
           (c >= 0x1F900 && c <= 0x1F9FF) || (c >= 0x20000 && c <= 0x3FFFD);
}

// The length of the character at text[at] and its columns; a byte that starts no character
// (the plain output never leaves one) takes a column.
size_t Character(const std::string& text, size_t at, size_t* columns)
{
    // The plain output's escapes (\xHH, \uHHHH) stay whole on a row.
    for (const auto& escape : {std::make_pair('x', size_t{2}), std::make_pair('u', size_t{4})}) {
        const size_t length = 2 + escape.second;
        if (text[at] == '\\' && at + length <= text.size() && text[at + 1] == escape.first &&
            std::all_of(text.begin() + at + 2, text.begin() + at + length, [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); })) {
            *columns = length;
            return length;
        }
    }
    uint32_t point = 0;
    const size_t length = Utf8Sequence(text.data(), text.size(), at, &point);
    *columns = length == 0 ? 1 : Wide(point) ? 2 : ((point >= 0x300 && point <= 0x36F) ? 0 : 1);
    return length == 0 ? 1 : length;
}

}  // namespace

bool HoldsWindowsPrograms(const VolumeRecord& record)
{
    const std::string& why = record.scan ? record.fs : record.why;
    return why != "linux" && why != "swap" && why != "empty";
}

std::string VolumeName(const VolumeRecord& record, const std::vector<DriveLetter>& letters)
{
    std::string name;
    for (const DriveLetter& letter : letters) {
        if (LetterNames(letter, record)) {
            name = std::string(1, letter.letter) + ": ";
            break;
        }
    }
    name += record.label.empty() ? "(no label)" : "\"" + PlainText(record.label) + "\"";
    name += ", " + Size(record.sizeBytes);
    const std::string kind = FileSystem(record);
    if (!kind.empty())
        name += ", " + kind;
    if (record.bitlocker && kind != "BitLocker")
        name += ", BitLocker";
    return name + " (" + PlainText(Base(record.device)) + ")";
}

Summary ComposeSummary(const std::vector<SummaryVolume>& volumes, bool clean, const std::string& reportsAt)
{
    Summary summary{{}, kExitClean};
    std::vector<DriveLetter> letters;
    for (const SummaryVolume& volume : volumes)
        letters.insert(letters.end(), volume.result.letters.begin(), volume.result.letters.end());
    std::vector<std::string> body;
    int found = 0, cleaned = 0, unchecked = 0, scanned = 0, index = 0;
    for (const SummaryVolume& volume : volumes) {
        const Said said = volume.record.scan ? ScannedVolume(volume.record, volume.result, clean)
                                             : SkippedVolume(volume.record);
        char number[16];
        std::snprintf(number, sizeof number, "%2d. ", ++index);
        body.push_back(number + VolumeName(volume.record, letters) +
                       (volume.result.system ? ": Windows system" : ""));
        body.push_back("    " + said.verdict);
        body.push_back("    Next: " + said.next);
        summary.exitCode = Worse(summary.exitCode, said.exitCode);
        found += said.found;
        cleaned += said.found && volume.result.clean && said.exitCode != kExitError;
        unchecked += said.unchecked;
        scanned += volume.record.scan && volume.result.present;
    }
    std::string pc, next;
    if (volumes.empty()) {
        pc = "NOT CHECKED: no volume was found on this PC.";
        next = "Check that the PC's disks are connected and shown by its firmware.";
        summary.exitCode = kExitError;
    } else if (found > 0 && cleaned == found) {
        pc = "Zaverin was found and removed on " + Plural(found, "volume", "volumes") + ".";
        next = "Start Windows. To be sure, boot this stick again and choose Check this PC.";
    } else if (found > 0) {
        pc = "INFECTED: Zaverin was found on " + Plural(found, "volume", "volumes") + ".";
        next = clean ? "See each volume below." : kClean;
    } else if (unchecked == 0) {
        pc = "No Zaverin found on the " + Plural(scanned, "volume", "volumes") +
             " scanned, which are all the volumes that can hold Windows programs.";
        next = clean ? "Nothing to do: start Windows." : "Nothing to do. Nothing was changed.";
    } else {
        pc = "NOT FULLY CHECKED: no Zaverin found on what was scanned, but " +
             Plural(unchecked, "volume that can hold Windows programs was", "volumes that can hold Windows programs were") +
             " not fully scanned.";
        next = "See each volume below.";
    }
    if (found > 0 && unchecked > 0)
        pc += " " + Plural(unchecked, "volume was", "volumes were") + " not fully scanned.";
    summary.lines.push_back(std::string("Quenfold Rescue summary (") +
                            (clean ? "clean: infected files deleted, the registry repaired" : "check: nothing on this PC was changed") +
                            ")");
    summary.lines.push_back("This PC: " + pc);
    summary.lines.push_back("Next: " + next);
    summary.lines.push_back("");
    summary.lines.insert(summary.lines.end(), body.begin(), body.end());
    if (!reportsAt.empty())
        summary.lines.push_back(PlainText(reportsAt));
    return summary;
}

size_t DisplayWidth(const std::string& text)
{
    size_t columns = 0;
    for (size_t at = 0, taken = 0; at < text.size(); columns += taken)
        at += Character(text, at, &taken);
    return columns;
}

std::vector<std::string> WrapLine(const std::string& line, size_t width, size_t indent)
{
    const size_t own = std::min(line.find_first_not_of(' '), line.size());
    const std::string lead(std::min(own + indent, width / 2), ' ');
    std::vector<std::string> rows;
    std::string row = line;
    for (size_t start = own;;) {  // start: the row's own indent, where no cut falls
        if (DisplayWidth(row) <= width) {
            rows.push_back(row);
            break;
        }
        // The last space that leaves the row within width; else as much as fits, whole characters.
        size_t columns = 0, at = 0, taken = 0, space = std::string::npos;
        for (size_t length; at < row.size() && columns + (length = Character(row, at, &taken), taken) <= width;
             at += length) {
            if (row[at] == ' ' && at > start && row[at - 1] != ' ')
                space = at;  // the first of a run of spaces: no row ends in one
            columns += taken;
        }
        size_t cut = space != std::string::npos ? space : at;
        if (cut <= start)
            cut = start + Character(row, start, &taken);  // a row is never left empty
        rows.push_back(row.substr(0, cut));
        const size_t next = std::min(row.find_first_not_of(' ', cut), row.size());
        if (next >= row.size())
            break;
        row = lead + row.substr(next);
        start = lead.size();
    }
    return rows;
}

std::vector<std::string> WrapLines(const std::vector<std::string>& lines, size_t width)
{
    std::vector<std::string> rows;
    for (const std::string& line : lines)
        for (std::string& row : WrapLine(line, width))
            rows.push_back(std::move(row));
    return rows;
}

size_t PageRows(size_t height)
{
    return height > 2 ? height - 1 : 1;
}
