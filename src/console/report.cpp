// The console scanner's output and exit code.
#include "console/report.h"

#include <cstring>

#include "cleanup/cleanup_rules.h"
#include "console/console_platform.h"
#include "fs/file_system.h"
#include "fs/unicode.h"

namespace {

void WipeProgress(Report* report)
{
    if (!report->progressShown)
        return;
    ConsoleWrite(report->err, "\r" + std::string(79, ' ') + "\r");
    report->progressShown = false;
}

// Prints one line (a trailing line feed is added) to out or err, after wiping the progress line.
void Say(Report* report, FILE* stream, const std::string& line)
{
    WipeProgress(report);
    ConsoleWrite(stream, line + "\n");
}

std::string Json(const std::string& text)
{
    return JsonString(text);
}

}  // namespace

Report MakeReport(bool json, bool quiet, bool moving, bool progress)
{
    Report report{};
    report.json = json;
    report.quiet = quiet;
    report.moving = moving;
    report.progress = progress;
    report.out = stdout;
    report.err = stderr;
    return report;
}

void ReportInfected(Report* report, const std::string& path, Handling handling, const std::string& detail)
{
    static const char* const kText[] = {"infected", "infected, deleted", "infected, moved to ",
                                        "infected, not deleted: ", "infected, not moved: ",
                                        "infected, deleted at restart"};
    static const char* const kAction[] = {"none", "deleted", "moved", "not_deleted", "not_moved", "delete_at_restart"};
    const int at = static_cast<int>(handling);
    report->moved += handling == Handling::Moved;
    report->atRestart += handling == Handling::DeleteAtRestart;
    report->unhandled += handling == Handling::NotDeleted || handling == Handling::NotMoved;
    if (!report->json) {
        Say(report, report->out, path + ": " + kText[at] + detail);
        return;
    }
    std::string line = "{\"type\":\"infected\",\"path\":" + Json(path) + ",\"action\":\"" + kAction[at] + "\"";
    if (handling == Handling::Moved)
        line += ",\"moved_to\":" + Json(detail);
    else if (!detail.empty())
        line += ",\"reason\":" + Json(detail);
    Say(report, report->out, line + "}");
}

void ReportSkipped(Report* report, const std::string& path, const std::string& reason)
{
    ++report->skipped;
    Say(report, report->err, "skipped: " + path + ": " + reason);
}

void ReportError(Report* report, const std::string& text)
{
    report->failed = true;
    Say(report, report->err, "qfscan: " + text);
}

void ReportNote(Report* report, const std::string& text)
{
    if (!report->quiet && !report->json)
        Say(report, report->out, text);
}

void ReportChange(Report* report, const std::string& place, const std::string& change, bool done, bool dry)
{
    report->failed |= !done && !dry;
    if (report->json) {
        Say(report, report->out, "{\"type\":\"change\",\"place\":" + Json(place) + ",\"change\":" + Json(change) +
                                     ",\"done\":" + (done ? "true" : "false") + ",\"dry_run\":" +
                                     (dry ? "true" : "false") + "}");
        return;
    }
    Say(report, done || dry ? report->out : report->err,
        std::string(dry ? "would change: " : done ? "changed: " : "not changed: ") + place + ": " + change);
}

void ReportVerdict(Report* report, int outcome)
{
    report->wormFound |= outcome != 0;
    std::string text = CleanupVerdict(outcome);
    if (report->json) {
        Say(report, report->out, std::string("{\"type\":\"verdict\",\"found\":") + (outcome != 0 ? "true" : "false") +
                                     ",\"text\":" + Json(text) + "}");
    } else if (!report->quiet) {
        Say(report, report->out, text);
    }
}

void ReportProgress(Report* report, uint64_t nowMs, uint64_t startMs, const ScanCounts& soFar, const char* folder)
{
    if (!report->progress || (report->progressShown && nowMs - report->lastProgressMs < 100))
        return;
    report->lastProgressMs = nowMs;
    char line[80];
    const int used = std::snprintf(line, sizeof line, "%d folders, %d files, %us: ", soFar.directories, soFar.files, static_cast<unsigned>((nowMs - startMs) / 1000));
    // The folder's tail is the telling part of a long path.
    if (used > 0 && static_cast<size_t>(used) < sizeof line) {
        const size_t room = sizeof line - 1 - used, length = std::strlen(folder);
        std::snprintf(line + used, room + 1, "%s", length > room ? folder + (length - room) : folder);
    }
    char padded[96];
    std::snprintf(padded, sizeof padded, "\r%-79s", line);
    ConsoleWrite(report->err, padded);
    report->progressShown = true;
}

void ReportSummary(Report* report)
{
    WipeProgress(report);
    const ScanCounts& c = report->counts;
    char text[512];
    if (report->json) {
        std::snprintf(text, sizeof text,
                      "{\"type\":\"summary\",\"directories\":%d,\"files\":%d,\"infected\":%d,\"deleted\":%d,"
                      "\"moved\":%d,\"deleted_at_restart\":%d,\"skipped\":%d,\"exit_code\":%d}\n",
                      c.directories, c.files, c.infected, c.deleted, report->moved, report->atRestart, report->skipped,
                      ReportExitCode(*report));
        ConsoleWrite(report->out, text);
        return;
    }
    FormatSummary(text, sizeof text, c);
    std::string summary = text;
    const auto line = [&](const char* format, int value) {
        std::snprintf(text, sizeof text, format, value);
        summary += text;
    };
    if (report->moving)
        line("  Moved %d\n", report->moved);
    if (report->atRestart > 0)
        line("  Deleted at restart %d\n", report->atRestart);
    line("  Skipped %d\n", report->skipped);
    ConsoleWrite(report->out, summary);
}

int ReportExitCode(const Report& report)
{
    if (report.skipped > 0 || report.unhandled > 0 || report.failed)
        return kExitError;
    if (report.atRestart > 0)
        return kExitRestart;
    return report.counts.infected > 0 || report.wormFound ? kExitInfected : kExitClean;
}

std::string JsonString(const std::string& text)
{
    std::string out = "\"";
    char escaped[8];
    for (size_t at = 0; at < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[at]);
        uint32_t point = c;
        const size_t sequence = c >= 0x80 ? Utf8Sequence(text.data(), text.size(), at, &point, true) : 1;
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (sequence == 3 && point >= 0xD800 && point <= 0xDFFF) {
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(point));
            out += escaped;
            at += sequence;
            continue;
        } else if (c >= 0x20 && c != 0x7F && sequence != 0) {
            out.append(text, at, sequence);
            at += sequence;
            continue;
        } else {
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        }
        ++at;
    }
    return out + "\"";
}
