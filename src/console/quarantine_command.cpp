// qfscan --list and --restore over the quarantine's index (quarantine/quarantine.h).
#include "console/quarantine_command.h"

#include "console/console_platform.h"
#include "console/log_file.h"
#include "console/report.h"
#include "fs/file_system.h"
#include "fs/host.h"
#include "quarantine/quarantine.h"

namespace {

// The plain output's form of a name: controls (and on Linux bytes that are no UTF-8) as \xHH.
std::string Plain(const std::string& text)
{
    return PlainText(text);
}

bool Say(const std::string& line)
{
    return ConsoleWrite(stdout, line + "\n");
}

// Reads the index; each line that cannot be used is said on standard error and passed over, so
// that every other one can still be listed and restored. *faulty: a whole line held a record
// that cannot be (a line cut short by a full disk or a kill is only told).
bool Read(const std::string& folder, std::vector<QuarantineRecord>* records, bool* faulty)
{
    std::string why;
    IndexFold fold;
    if (!QuarantineRead(folder, &fold, &why)) {
        ConsoleWrite(stderr, "qfscan: " + Plain(folder) + ": " + Plain(why) + "\n");
        return false;
    }
    const std::string index = Plain(folder) + (folder.back() == kFsSeparator ? "" : std::string(1, kFsSeparator)) +
                              kQuarantineIndex;
    for (const std::string& problem : fold.problems)
        ConsoleWrite(stderr, "qfscan: " + index + ": " + Plain(problem) + "; passed over\n");
    if (fold.tornLine != 0)
        ConsoleWrite(stderr, "qfscan: " + index + ": line " + std::to_string(fold.tornLine) +
                                 " was cut short (a run stopped while writing it); passed over\n");
    *faulty = fold.refused > 0;
    *records = std::move(fold.records);
    return true;
}

std::string StateOf(const std::string& folder, const QuarantineRecord& record)
{
    return !record.restored.empty() ? "restored" : QuarantineHolds(folder, record) ? "held" : "missing";
}

}  // namespace

int ListQuarantine(const std::string& folder, bool json)
{
    std::vector<QuarantineRecord> records;
    bool faulty = false;
    if (!Read(folder, &records, &faulty))
        return kExitError;
    size_t held = 0;
    bool written = true;
    for (const QuarantineRecord& record : records) {
        const std::string state = StateOf(folder, record);
        held += state == "held";
        if (json) {
            written &= Say("{\"type\":\"quarantined\",\"path\":" + JsonString(record.path) +
                           ",\"stored\":" + JsonString(record.stored) + ",\"size\":" + std::to_string(record.size) +
                           ",\"sha256\":" + JsonString(record.sha256) + ",\"moved\":" + JsonString(record.moved) +
                           ",\"host\":" + JsonString(record.host) + ",\"why\":" + JsonString(record.why) +
                           ",\"state\":\"" + state + "\"" +
                           (record.restored.empty() ? "" : ",\"restored\":" + JsonString(record.restored)) + "}");
            continue;
        }
        const std::string stored = Plain(record.stored);
        const std::string how = state == "held"       ? "held as " + stored
                                : state == "restored" ? "restored " + Plain(record.restored) + " (was " + stored + ")"
                                                      : "missing: " + stored + " is not in the folder";
        written &= Say(Plain(record.path) + ": " + how + ", " + std::to_string(record.size) + " bytes, moved " +
                       Plain(record.moved) + " on " + Plain(record.host) + ", " + Plain(record.why) + ", SHA-256 " +
                       Plain(record.sha256));
    }
    if (!json)
        written &= Say(std::to_string(records.size()) + " file(s), " + std::to_string(held) + " held");
    return written && !faulty ? kExitClean : kExitError;
}

int RestoreQuarantine(const std::string& folder, const std::vector<std::string>& paths, bool json,
                      const std::atomic<int>* interrupt)
{
    std::vector<QuarantineRecord> records;
    bool faulty = false;
    if (!Read(folder, &records, &faulty))
        return kExitError;
    // Of the records of a path, the newest the folder still holds, else the newest.
    std::vector<const QuarantineRecord*> chosen;
    bool failed = false;
    bool written = true;
    const std::string host = JsonString(HostName());
    // A file back whose metadata was not all given back has a note.
    auto tell = [&](const std::string& path, bool done, const std::string& why) {
        failed |= !done;
        const std::string key = done ? "note" : "error";
        const std::string record = "{\"type\":\"restore\",\"time\":\"" + UtcTimestamp() + "\",\"host\":" + host +
                                   ",\"path\":" + JsonString(path) + ",\"done\":" + (done ? "true" : "false") +
                                   (why.empty() ? "" : ",\"" + key + "\":" + JsonString(why)) + "}";
        const std::string text = Plain(path) + (!done ? ": not restored: " + Plain(why)
                                                : why.empty() ? ": restored" : ": restored, but " + Plain(why));
        written &= Say(json ? record : text);
        if (done)
            SystemLogWrite(SystemLogEvent::Restored, text, record);
    };
    for (const std::string& path : paths) {
        const QuarantineRecord* found = nullptr;
        bool held = false;
        for (const QuarantineRecord& record : records) {
            const bool holds = record.path == path && record.restored.empty() && QuarantineHolds(folder, record);
            if (record.path == path && (holds || !held))
                found = &record;
            held |= holds;
        }
        if (found == nullptr)
            tell(path, false, "not in this quarantine's index");
        else
            chosen.push_back(found);
    }
    if (paths.empty())
        for (const QuarantineRecord& record : records)
            if (record.restored.empty() && QuarantineHolds(folder, record))
                chosen.push_back(&record);
    size_t restored = 0;
    for (const QuarantineRecord* record : chosen) {
        if (interrupt->load() != 0 || !written) {
            failed = true;
            break;
        }
        std::string why;
        const bool done = QuarantineRestore(folder, *record, &why);
        restored += done;
        tell(record->path, done, why);
    }
    if (restored > 0 && !json)
        ConsoleWrite(stderr, "qfscan: a restored file is as infected as it was: scan it again before it runs\n");
    return failed || faulty || !written ? kExitError : kExitClean;
}
