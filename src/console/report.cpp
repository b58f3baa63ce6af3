// The console scanner's output and exit code.
#include "console/report.h"

#include <algorithm>
#include <cstring>

#include "cleanup/cleanup_rules.h"
#include "console/console_platform.h"
#include "console/log_file.h"
#include "fs/file_system.h"
#include "fs/host.h"
#include "qf_version.h"

namespace {

std::string Plain(const std::string& text)
{
    return PlainText(text);
}

// Every write goes through here: one that fails breaks the report, and a broken report stops the
// walk, so that no change is made that could not be recorded.
void Written(Report* report, FILE* stream, bool ok)
{
    if (ok && (stream == nullptr || (std::fflush(stream) == 0 && !std::ferror(stream))))
        return;
    report->broken = true;
    if (report->stop != nullptr)
        report->stop->store(1);
}

void Say(Report* report, FILE* stream, const std::string& line);

// What standard output gets, for the log too: a record the log does not take whole breaks the
// report as a failed write of standard output does, and standard error says so (once: the log
// is closed then).
void Logged(Report* report, const std::string& record)
{
    std::string error;
    const bool ok = LogText(record, &error);
    if (!ok)
        Say(report, report->err, "qfscan: " + Plain(error));
    Written(report, nullptr, ok);
}

void WipeProgress(Report* report)
{
    if (!report->progressShown || report->tee != nullptr)
        return;
    Written(report, report->err, ConsoleWrite(report->err, "\r" + std::string(79, ' ') + "\r"));
    report->progressShown = false;
}

// Prints one line (a trailing line feed is added) to out or err, after wiping the progress line.
void Say(Report* report, FILE* stream, const std::string& line)
{
    WipeProgress(report);
    if (report->tee != nullptr) {
        Written(report, nullptr, report->tee->line(report->tee->context, line));
        return;
    }
    Written(report, stream, ConsoleWrite(stream, line + "\n"));
    if (stream == report->out)
        Logged(report, line);
}

std::string Json(const std::string& text)
{
    return JsonString(text);
}

SystemLogEvent InfectedEvent(Handling handling)
{
    switch (handling) {
    case Handling::Reported: return SystemLogEvent::Found;
    case Handling::Deleted: return SystemLogEvent::Removed;
    case Handling::Moved: return SystemLogEvent::Quarantined;
    case Handling::DeleteAtRestart: return SystemLogEvent::RestartNeeded;
    case Handling::NotDeleted:
    case Handling::NotMoved: break;
    }
    return SystemLogEvent::NotRemoved;
}

// Every JSON record begins alike: its type, when (UTC) and where, so that each line alone says it.
std::string Record(const Report& report, const char* type)
{
    return std::string("{\"type\":\"") + type + "\",\"time\":\"" + UtcTimestamp() + "\",\"host\":" + Json(report.host);
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
    report.started = UtcTimestamp();
    report.host = HostName();
    report.startedMs = MonotonicMs();
    return report;
}

void ReportInfected(Report* report, const std::string& path, const FileOutcome& outcome, const std::string& target)
{
    const Handling handling = outcome.handling;
    const bool failed = handling == Handling::NotDeleted || handling == Handling::NotMoved;
    char reason[256] = "";
    if (failed)
        FsErrorText(outcome.error, reason, sizeof reason);
    // The new path (Moved) or the reason (Not...).
    const std::string detail = handling == Handling::Moved ? target : outcome.stopped ? "stopped" : reason;
    const std::string sha256 = outcome.sha256;
    const uint64_t size = outcome.size;
    const std::string text = Plain(path) + ": infected" + HandlingText(handling) + Plain(detail);
    std::string line = Record(*report, "infected") + ",\"path\":" + Json(path) + ",\"action\":\"" + HandlingAction(handling) + "\"";
    if (!sha256.empty())
        line += ",\"size\":" + std::to_string(size) + ",\"sha256\":\"" + sha256 + "\"";
    if (handling == Handling::Moved)
        line += ",\"moved_to\":" + Json(detail);
    else if (!detail.empty())
        line += ",\"reason\":" + Json(detail);
    line += "}";
    Say(report, report->out, report->json ? line : text);
    SystemLogWrite(InfectedEvent(handling), text, line);
}

void ReportSkipped(Report* report, const std::string& path, const std::string& reason)
{
    ++report->counts.skipped;
    SaySkipped(report, path, reason);
}

void SaySkipped(Report* report, const std::string& path, const std::string& reason)
{
    Say(report, report->err, "skipped: " + Plain(path) + ": " + Plain(reason));
}

void ReportPassedOver(Report* report, const std::string& path, const std::string& reason)
{
    // No error: a quiet run keeps standard error for what failed or was left.
    if (report->quiet)
        return;
    Say(report, report->err, "passed over: " + Plain(path) + ": " + Plain(reason));
}

void ReportError(Report* report, const std::string& text)
{
    report->failed = true;
    Say(report, report->err, "qfscan: " + Plain(text));
}

void ReportNote(Report* report, const std::string& text)
{
    if (!report->quiet && !report->json)
        Say(report, report->out, Plain(text));
}

void ReportChange(Report* report, const std::string& place, const std::string& change, bool done,
                  const std::string& error, bool dry)
{
    report->failed |= !done;
    ++(done ? report->changesDone : report->changesFailed);
    const std::string record = Record(*report, "change") + ",\"place\":" + Json(place) + ",\"change\":" + Json(change) +
                               ",\"done\":" + (done ? "true" : "false") + ",\"dry_run\":" + (dry ? "true" : "false") +
                               (done ? "" : ",\"error\":" + Json(error)) + "}";
    const std::string text =
        std::string(dry ? (done ? "would change: " : "would not change: ") : done ? "changed: " : "not changed: ") +
        Plain(place) + ": " + Plain(change) + (done ? "" : ": " + Plain(error));
    if (report->json)
        Say(report, report->out, record);
    else
        Say(report, done ? report->out : report->err, text);
    SystemLogWrite(done ? SystemLogEvent::ChangeMade : SystemLogEvent::ChangeRefused, text, record);
}

void ReportVerdict(Report* report, int outcome)
{
    ReportVerdictText(report, (outcome & kCleanupFound) != 0, (outcome & kCleanupRefused) != 0, CleanupVerdict(outcome));
}

void ReportVerdictText(Report* report, bool found, bool refused, const std::string& text)
{
    report->wormFound |= found;
    report->failed |= refused;
    if (report->json) {
        Say(report, report->out, Record(*report, "verdict") + ",\"found\":" + (found ? "true" : "false") +
                                     ",\"refused\":" + (refused ? "true" : "false") + ",\"text\":" + Json(text) + "}");
    } else if (!report->quiet) {
        Say(report, report->out, text);
    }
}

void ReportProgress(Report* report, uint64_t nowMs, uint64_t startMs, const ScanCounts& soFar, const char* folder)
{
    // The tee keeps the counts and shows them on its own time: it takes every finding's.
    if (report->progress && report->tee != nullptr) {
        report->tee->progress(report->tee->context, soFar, folder);
        report->lastProgressMs = nowMs;
        return;
    }
    if (!report->progress || (report->progressShown && nowMs - report->lastProgressMs < 100))
        return;
    report->lastProgressMs = nowMs;
    char line[80];
    const int used = std::snprintf(line, sizeof line, "%d folders, %d files, %us: ", soFar.directories, soFar.files, static_cast<unsigned>((nowMs - startMs) / 1000));
    // The folder's tail is the telling part of a long path; the cut never splits a character.
    if (used > 0 && static_cast<size_t>(used) < sizeof line) {
        const std::string shown = Plain(folder);
        const size_t room = sizeof line - 1 - used, length = shown.size();
        size_t from = length > room ? length - room : 0;
        while (from > 0 && from < length && (static_cast<unsigned char>(shown[from]) & 0xC0) == 0x80)
            ++from;
        std::snprintf(line + used, room + 1, "%s", shown.c_str() + from);
    }
    char padded[96];
    std::snprintf(padded, sizeof padded, "\r%-79s", line);
    Written(report, report->err, ConsoleWrite(report->err, padded));
    report->progressShown = true;
}

void ReportSummary(Report* report)
{
    WipeProgress(report);
    const ScanCounts& c = report->counts;
    char text[512];
    std::snprintf(text, sizeof text,
                  ",\"directories\":%d,\"files\":%d,\"infected\":%d,\"deleted\":%d,"
                  "\"moved\":%d,\"deleted_at_restart\":%d,\"skipped\":%d,\"stopped\":%s,\"exit_code\":%d,"
                  "\"elapsed_ms\":%llu",
                  c.directories, c.files, c.infected, c.deleted, c.moved, c.atRestart, c.skipped,
                  report->stopped ? "true" : "false", ReportExitCode(*report),
                  static_cast<unsigned long long>(MonotonicMs() - report->startedMs));
    const std::string record = Record(*report, "summary") + text + ",\"version\":\"" QF_VERSION
                               "\",\"started\":\"" + report->started + "\",\"finished\":\"" + UtcTimestamp() + "\"}";
    SystemLogWrite(SystemLogEvent::ScanFinished, VerdictLine(*report), record);
    if (report->json) {
        Written(report, report->out, ConsoleWrite(report->out, record + "\n"));
        Logged(report, record);
        return;
    }
    FormatSummary(text, sizeof text, c, {report->stopped, report->moving, true});
    const std::string summary = text;
    if (report->tee != nullptr) {
        for (size_t at = 0, end; at < summary.size(); at = end + 1) {
            end = std::min(summary.find('\n', at), summary.size());
            Written(report, nullptr, report->tee->line(report->tee->context, summary.substr(at, end - at)));
        }
        return;
    }
    Written(report, report->out, ConsoleWrite(report->out, summary));
    Logged(report, summary);
    // Management tools (Intune's remediation among them) keep only the last line of the output.
    if (report->quiet)
        Say(report, report->out, VerdictLine(*report));
}

namespace {

int DefaultExitCode(const Report& report)
{
    if (report.counts.skipped > 0 || report.counts.unhandled > 0 || report.failed || report.stopped || report.broken)
        return kExitError;
    if (report.counts.atRestart > 0)
        return kExitRestart;
    return report.counts.infected > 0 || report.wormFound ? kExitInfected : kExitClean;
}

// Infected files neither deleted (now or at the restart) nor moved.
int32_t LeftInfected(const Report& report)
{
    return report.counts.infected - report.counts.deleted - report.counts.moved;
}

}  // namespace

int ReportExitCode(const Report& report)
{
    const int code = DefaultExitCode(report);
    if (!report.installerCodes)
        return code;
    if (code == kExitError || LeftInfected(report) > 0)
        return kInstallerFailed;
    return code == kExitRestart ? kInstallerRestart : kInstallerDone;
}

std::string VerdictLine(const Report& report)
{
    const int code = DefaultExitCode(report);
    const int32_t left = LeftInfected(report);
    const char* word = code == kExitError     ? "failed"
                       : code == kExitRestart ? "restart needed"
                       : left > 0             ? "infected files found"
                       : code == kExitInfected ? "removed"
                                               : "clean";
    const ScanCounts& c = report.counts;
    char text[512];
    std::snprintf(text, sizeof text,
                  "Verdict: %s (exit code %d): %d infected, %d deleted, %d moved, %d deleted at restart, %d left, "
                  "%d not handled, %d skipped, %d files, %d folders%s%s%s",
                  word, ReportExitCode(report), c.infected, c.deleted - c.atRestart, c.moved, c.atRestart,
                  left, c.unhandled, c.skipped, c.files, c.directories,
                  report.wormFound ? ", the worm found on the system" : "",
                  report.changesFailed > 0 ? ", a change refused" : "",
                  report.stopped ? ", stopped" : "");
    return text;
}
