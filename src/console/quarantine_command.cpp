// qfscan --list and --restore over the quarantine's index (quarantine/quarantine.h).
#include "console/quarantine_command.h"

#include "console/console_platform.h"
#include "console/fleet.h"
#include "console/report.h"
#include "fs/file_system.h"
#include "quarantine/quarantine.h"
#include "quarantine/store.h"

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

bool Read(const std::string& folder, std::vector<QuarantineRecord>* records)
{
    std::string why;
    if (QuarantineRead(folder, records, &why))
        return true;
    ConsoleWrite(stderr, "qfscan: " + folder + ": " + why + "\n");
    return false;
}

std::string StateOf(const std::string& folder, const QuarantineRecord& record)
{
    return !record.restored.empty() ? "restored" : QuarantineHolds(folder, record) ? "held" : "missing";
}

}  // namespace

int ListQuarantine(const std::string& folder, bool json)
{
    std::vector<QuarantineRecord> records;
    if (!Read(folder, &records))
        return kExitError;
    size_t held = 0;
    bool written = true;
    for (const QuarantineRecord& record : records) {
        const std::string state = StateOf(folder, record);
        held += state == "held";
        if (json) {
            written &= Say("{\"type\":\"quarantined\",\"path\":" + JsonString(record.path) +
                           ",\"stored\":" + JsonString(record.stored) + ",\"size\":" + std::to_string(record.size) +
                           ",\"sha256\":\"" + record.sha256 + "\",\"moved\":" + JsonString(record.moved) +
                           ",\"host\":" + JsonString(record.host) + ",\"why\":" + JsonString(record.why) +
                           ",\"state\":\"" + state + "\"" +
                           (record.restored.empty() ? "" : ",\"restored\":" + JsonString(record.restored)) + "}");
            continue;
        }
        const std::string how = state == "held"       ? "held as " + record.stored
                                : state == "restored" ? "restored " + record.restored + " (was " + record.stored + ")"
                                                      : "missing: " + record.stored + " is not in the folder";
        written &= Say(Plain(record.path) + ": " + how + ", " + std::to_string(record.size) + " bytes, moved " +
                       Plain(record.moved) + " on " + Plain(record.host) + ", " + Plain(record.why) + ", SHA-256 " +
                       record.sha256);
    }
    if (!json)
        written &= Say(std::to_string(records.size()) + " file(s), " + std::to_string(held) + " held");
    return written ? kExitClean : kExitError;
}

int RestoreQuarantine(const std::string& folder, const std::vector<std::string>& paths, bool json,
                      const std::atomic<int>* interrupt)
{
    std::vector<QuarantineRecord> records;
    if (!Read(folder, &records))
        return kExitError;
    // Of the records of a path, the newest the folder still holds, else the newest.
    std::vector<const QuarantineRecord*> chosen;
    bool failed = false;
    bool written = true;
    const std::string host = JsonString(HostName());
    auto tell = [&](const std::string& path, bool done, const std::string& why) {
        failed |= !done;
        const std::string record = "{\"type\":\"restore\",\"time\":\"" + UtcTimestamp() + "\",\"host\":" + host +
                                   ",\"path\":" + JsonString(path) + ",\"done\":" + (done ? "true" : "false") +
                                   (done ? "" : ",\"error\":" + JsonString(why)) + "}";
        const std::string text = Plain(path) + (done ? ": restored" : ": not restored: " + Plain(why));
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
    return failed || !written ? kExitError : kExitClean;
}
