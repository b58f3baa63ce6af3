// The console scanner's output and exit code.
#include "console/report.h"

#include <cstring>

#include "cleanup/cleanup_rules.h"
#include "console/console_platform.h"
#include "fs/file_system.h"

namespace {

// The length of a well-formed UTF-8 sequence at text[at], or 0 when the bytes there are not one.
size_t Utf8Length(const std::string& text, size_t at)
{
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    const size_t length = lead >= 0xF0 && lead <= 0xF4 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 && lead < 0xE0 ? 2 : 0;
    if (length == 0 || at + length > text.size())
        return 0;
    for (size_t i = 1; i < length; ++i)
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
    // No overlong forms, surrogates or code points past U+10FFFF.
    const unsigned char second = byte(at + 1);
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second >= 0xA0) || (lead == 0xF0 && second < 0x90) ||
        (lead == 0xF4 && second >= 0x90))
        return 0;
    return length;
}

void WipeProgress(Report* report)
{
    if (!report->progressShown)
        return;
    std::fprintf(report->err, "\r%79s\r", "");
    report->progressShown = false;
}

// Prints one line (a trailing line feed is added) to out or err, after wiping the progress line.
void Say(Report* report, FILE* stream, const std::string& line)
{
    WipeProgress(report);
    std::fprintf(stream, "%s\n", line.c_str());
    std::fflush(stream);
}

std::string Json(const std::string& text)
{
    return JsonString(ConsoleTextToUtf8(text));
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
                                        "infected, not deleted: ", "infected, not moved: "};
    static const char* const kAction[] = {"none", "deleted", "moved", "not_deleted", "not_moved"};
    const int at = static_cast<int>(handling);
    report->moved += handling == Handling::Moved;
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
    report->failed |= !done;
    if (report->json) {
        Say(report, report->out, "{\"type\":\"change\",\"place\":" + Json(place) + ",\"change\":" + Json(change) +
                                     ",\"done\":" + (done ? "true" : "false") + ",\"dry_run\":" +
                                     (dry ? "true" : "false") + "}");
        return;
    }
    Say(report, done ? report->out : report->err,
        std::string(dry ? (done ? "would change: " : "would not change: ") : done ? "changed: " : "not changed: ") + place +
            ": " + change);
}

void ReportVerdict(Report* report, int outcome)
{
    ReportVerdictText(report, outcome != 0, CleanupVerdict(outcome));
}

void ReportVerdictText(Report* report, bool found, const std::string& text)
{
    report->wormFound |= found;
    if (report->json) {
        Say(report, report->out, std::string("{\"type\":\"verdict\",\"found\":") + (found ? "true" : "false") +
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
    std::fprintf(report->err, "\r%-79s", line);
    std::fflush(report->err);
    report->progressShown = true;
}

void ReportSummary(Report* report)
{
    WipeProgress(report);
    const ScanCounts& c = report->counts;
    if (report->json) {
        std::fprintf(report->out,
                     "{\"type\":\"summary\",\"directories\":%d,\"files\":%d,\"infected\":%d,\"deleted\":%d,"
                     "\"moved\":%d,\"skipped\":%d,\"exit_code\":%d}\n",
                     c.directories, c.files, c.infected, c.deleted, report->moved, report->skipped,
                     ReportExitCode(*report));
    } else {
        char summary[kPathCapacity];
        FormatSummary(summary, sizeof summary, c);
        std::fputs(summary, report->out);
        if (report->moving)
            std::fprintf(report->out, "  Moved %d\n", report->moved);
        std::fprintf(report->out, "  Skipped %d\n", report->skipped);
    }
    std::fflush(report->out);
}

int ReportExitCode(const Report& report)
{
    if (report.skipped > 0 || report.unhandled > 0 || report.failed)
        return kExitError;
    return report.counts.infected > 0 || report.wormFound ? kExitInfected : kExitClean;
}

std::string JsonString(const std::string& text)
{
    std::string out = "\"";
    for (size_t at = 0; at < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[at]);
        const size_t sequence = c >= 0x80 ? Utf8Length(text, at) : 1;
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c != 0x7F && sequence != 0) {
            out.append(text, at, sequence);
            at += sequence;
            continue;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        }
        ++at;
    }
    return out + "\"";
}
