// qfscan: the window's drive scan from a console, for unattended cleaning, with exit codes.
//
// Each PATH is walked with the window's walk and infection test, so the same files are counted
// and tested; the infected ones are reported, and deleted or moved when asked. Everything the
// walk cannot scan is reported on standard error and makes the exit code 2.
#include <getopt.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "console/console_platform.h"
#include "console/report.h"
#include "fs/file_system.h"
#include "scan/tree_walk.h"

namespace {

const char kVersion[] = "qfscan 1.0.55\n";

const char kHelp[] =
    "usage: qfscan [--delete | --move DIR] [--json] [--quiet] [--cleanup] PATH...\n"
    "       qfscan --offline ROOT [--dry-run] [--delete | --move DIR] [--json] [--quiet]\n"
    "       qfscan --help | --version\n"
    "\n"
    "Scans each PATH (a folder) for programs infected by the Zaverin worm, as Quenfold's window\n"
    "does: every file is counted, every 32-bit Windows program is tested; links and junctions are\n"
    "not followed, and folders whose names begin with a dot are passed over.\n"
    "\n"
    "  --delete       delete the infected files\n"
    "  --move DIR     move them into DIR instead (never replacing a file: name.1, name.2, ...)\n"
    "  --json         one JSON object per line instead of text\n"
    "  --quiet        print only the infected files and the summary\n"
    "  --cleanup      first run Quenfold's start-up cleanup on this Windows machine: end the\n"
    "                 worm's processes (and every program that loaded msvbvm60.dll), repair\n"
    "                 the Run keys and Userinit, delete the worm's files (Windows only)\n"
    "  --offline ROOT clean the Windows system mounted at ROOT from a Linux rescue system:\n"
    "                 registry hives, the worm's files, then a scan of ROOT (Linux only);\n"
    "                 alone it reports every change it would make, and makes them only\n"
    "                 with --delete or --move DIR\n"
    "  --dry-run      with --offline: report every change, make none (even with --delete)\n"
    "\n"
    "Output: a line per infected file (PATH: infected[, deleted | , moved to NEW |\n"
    ", not deleted: REASON | , not moved: REASON]), then the summary. Folders and files that\n"
    "cannot be scanned go to standard error as \"skipped: PATH: REASON\". While standard error\n"
    "is a terminal, a progress line is shown there.\n"
    "\n"
    "JSON lines, each with a \"type\":\n"
    "  infected  path, action (none, deleted, moved, not_deleted, not_moved), moved_to, reason\n"
    "  verdict   found (true/false), text: the start-up cleanup's or offline repair's verdict\n"
    "  change    place, change, done, dry_run: a change of the offline repair\n"
    "  summary   directories, files, infected, deleted, moved, skipped, exit_code\n"
    "\n"
    "Exit codes:\n"
    "  0  nothing infected, and everything was scanned\n"
    "  1  infected files (or the worm) found, and every one handled as asked\n"
    "  2  an error: a bad option, a missing or unlistable PATH, anything skipped, or an infected\n"
    "     file that could not be deleted or moved as asked\n";

struct Options {
    bool deleteInfected = false;
    bool json = false;
    bool quiet = false;
    bool cleanup = false;
    bool dryRun = false;
    std::string moveDir;
    std::string offlineRoot;
    std::vector<std::string> paths;
};

int Fail(const std::string& problem)
{
    std::fprintf(stderr, "qfscan: %s (see qfscan --help)\n", problem.c_str());
    return kExitError;
}

std::string FullPath(const std::string& path)
{
    char full[kFsPathCapacity];
    return FsFullPath(path.c_str(), full, sizeof full) ? full : "";
}

// Whether inner is outer or lies below it (letter case ignored on Windows, as its file system does).
bool Within(const std::string& inner, const std::string& outer)
{
    if (inner.size() < outer.size())
        return false;
    for (size_t i = 0; i < outer.size(); ++i) {
        char a = inner[i], b = outer[i];
        if (kFsSeparator == '\\' && a >= 'a' && a <= 'z')
            a = static_cast<char>(a - 32);
        if (kFsSeparator == '\\' && b >= 'a' && b <= 'z')
            b = static_cast<char>(b - 32);
        if (a != b)
            return false;
    }
    return inner.size() == outer.size() || inner[outer.size()] == kFsSeparator || outer.back() == kFsSeparator;
}

// Parses the command line into options; on a bad one, *exitCode is what to exit with.
bool ParseOptions(int argc, char** argv, Options* options, int* exitCode)
{
    enum { kOptMove = 256, kOptOffline, kOptDryRun, kOptHelp, kOptVersion };
    static const option kLong[] = {
        {"delete", no_argument, nullptr, 'd'},       {"move", required_argument, nullptr, kOptMove},
        {"json", no_argument, nullptr, 'j'},         {"quiet", no_argument, nullptr, 'q'},
        {"cleanup", no_argument, nullptr, 'c'},      {"offline", required_argument, nullptr, kOptOffline},
        {"dry-run", no_argument, nullptr, kOptDryRun},  {"help", no_argument, nullptr, kOptHelp},
        {"version", no_argument, nullptr, kOptVersion}, {nullptr, 0, nullptr, 0}};
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, "+", kLong, nullptr)) != -1;) {
        switch (c) {
        case 'd': options->deleteInfected = true; break;
        case kOptMove: options->moveDir = optarg; break;
        case 'j': options->json = true; break;
        case 'q': options->quiet = true; break;
        case 'c': options->cleanup = true; break;
        case kOptOffline: options->offlineRoot = optarg; break;
        case kOptDryRun: options->dryRun = true; break;
        case kOptHelp: std::fputs(kHelp, stdout); *exitCode = kExitClean; return false;
        case kOptVersion: std::fputs(kVersion, stdout); *exitCode = kExitClean; return false;
        default:
            *exitCode = Fail(optopt == kOptMove || optopt == kOptOffline ? std::string(argv[optind - 1]) + " needs a folder"
                                                                   : "unknown option " + std::string(argv[optind - 1]));
            return false;
        }
    }
    for (int i = optind; i < argc; ++i)
        options->paths.push_back(argv[i]);

    const char* problem = nullptr;
    if (options->deleteInfected && !options->moveDir.empty())
        problem = "--delete and --move exclude each other";
    else if (!options->offlineRoot.empty() && !options->paths.empty())
        problem = "--offline scans its ROOT and takes no PATH";
    else if (!options->offlineRoot.empty() && options->cleanup)
        problem = "--cleanup is for the running system, --offline for one mounted here";
    else if (options->dryRun && options->offlineRoot.empty())
        problem = "--dry-run goes with --offline";
    else if (options->offlineRoot.empty() && options->paths.empty())
        problem = "no PATH to scan";
    else if (options->cleanup && kFsSeparator != '\\')
        problem = "--cleanup needs Windows (from a Linux rescue system, use --offline ROOT)";
    else if (!options->offlineRoot.empty() && !OfflineSupported())
        problem = "--offline needs a Linux rescue system (on the running Windows, use --cleanup)";
    if (problem != nullptr) {
        *exitCode = Fail(problem);
        return false;
    }
    // Every path is made absolute now: the walk moves the current directory.
    std::vector<std::string*> folders = {&options->moveDir, &options->offlineRoot};
    for (std::string& path : options->paths)
        folders.push_back(&path);
    for (std::string* folder : folders) {
        if (folder->empty())
            continue;
        const std::string given = *folder;
        *folder = FullPath(given);
        if (folder->empty() || !FsIsDirectory(folder->c_str())) {
            *exitCode = Fail(given + ": " + (folder->empty() ? "path too long" : "no such folder"));
            return false;
        }
    }
    std::vector<std::string> scanned = options->paths;
    if (!options->offlineRoot.empty())
        scanned.push_back(options->offlineRoot);
    for (const std::string& path : scanned) {
        if (!options->moveDir.empty() && Within(options->moveDir, path)) {
            *exitCode = Fail("--move " + options->moveDir + " lies inside " + path + ", which is scanned");
            return false;
        }
    }
    return true;
}

std::string ErrorText(int error)
{
    char text[256];
    FsErrorText(error, text, sizeof text);
    return text;
}

// Reports what the last step of the walk met, moving an infected file first when asked.
void ReportStep(const TreeWalk& walk, WalkStep step, const Options& options, Report* report)
{
    if (walk.note == WalkNote::None)
        return;
    if (step != WalkStep::Entry) {
        const char* what = walk.note == WalkNote::NotEntered ? "cannot be entered: " : "cannot be listed: ";
        ReportSkipped(report, WalkCurrentEntry(&walk), what + ErrorText(walk.noteError));
        return;
    }
    char path[kFsPathCapacity + kPathCapacity];
    if (!BuildChildPath(walk.directory, walk.entry.name, path, sizeof path, kFsSeparator))
        std::snprintf(path, sizeof path, "%s", walk.entry.name);
    switch (walk.note) {
    case WalkNote::Infected:
        if (options.deleteInfected) {
            ReportInfected(report, path, Handling::NotDeleted, ErrorText(walk.noteError));
        } else if (!options.moveDir.empty()) {
            char target[kFsPathCapacity + kPathCapacity];
            if (FsMoveIntoFolder(walk.entry.name, options.moveDir.c_str(), target, sizeof target))
                ReportInfected(report, path, Handling::Moved, target);
            else
                ReportInfected(report, path, Handling::NotMoved, ErrorText(FsLastError()));
        } else {
            ReportInfected(report, path, Handling::Reported, "");
        }
        break;
    case WalkNote::Deleted: ReportInfected(report, path, Handling::Deleted, ""); break;
    case WalkNote::Unreadable: ReportSkipped(report, path, "cannot be read: " + ErrorText(walk.noteError)); break;
    case WalkNote::TooLong: ReportSkipped(report, path, "path too long"); break;
    default: break;
    }
}

void AddCounts(ScanCounts* total, const ScanCounts& more)
{
    total->directories += more.directories;
    total->files += more.files;
    total->infected += more.infected;
    total->deleted += more.deleted;
}

// Walks one folder; false when an interrupt ended it.
bool ScanFolder(const std::string& root, const Options& options, const std::atomic<int>* interrupt, Report* report)
{
    ReportNote(report, "scanning " + root);
    char text[kPathCapacity];
    TreeWalk walk;
    if (!WalkBegin(&walk, root.c_str(), text, options.deleteInfected, interrupt)) {
        ReportSkipped(report, root, "not enough memory");
        return true;
    }
    const uint64_t start = MonotonicMs();
    WalkStep step;
    while (WalkGoesOn(step = WalkNext(&walk))) {
        ReportStep(walk, step, options, report);
        if (report->progress) {
            ScanCounts soFar = report->counts;
            AddCounts(&soFar, walk.counts);
            ReportProgress(report, MonotonicMs(), start, soFar, WalkCurrentEntry(&walk));
        }
    }
    if (step == WalkStep::RootUnlisted)
        ReportSkipped(report, root, "cannot be listed: " + ErrorText(walk.noteError));
    else if (step == WalkStep::OutOfMemory)
        ReportSkipped(report, WalkCurrentEntry(&walk), "not enough memory to queue its folders");
    AddCounts(&report->counts, walk.counts);
    WalkEnd(&walk);
    return step != WalkStep::Stopped;
}

}  // namespace

int main(int argc, char** argv)
{
    ConsoleStart();
    Options options;
    int exitCode = kExitError;
    if (!ParseOptions(argc, argv, &options, &exitCode))
        return exitCode;

    static std::atomic<int> interrupt{0};
    CatchInterrupt(&interrupt);
    Report report =
        MakeReport(options.json, options.quiet, !options.moveDir.empty() && !options.dryRun, StderrIsTerminal());
    if (options.cleanup)
        ReportVerdict(&report, RunSystemCleanup());
    if (!options.offlineRoot.empty()) {
        OfflineRequest request{options.offlineRoot, options.moveDir, options.deleteInfected, options.dryRun};
        if (!OfflineRepair(request, &report))
            return ReportExitCode(report);  // the system could not be read: nothing was changed
        options.paths.push_back(options.offlineRoot);
        options.deleteInfected = options.deleteInfected && !options.dryRun;
        options.moveDir = options.dryRun ? "" : options.moveDir;
    }
    for (const std::string& path : options.paths) {
        if (!ScanFolder(path, options, &interrupt, &report)) {
            ReportSkipped(&report, path, "interrupted; the summary counts what was scanned");
            break;
        }
    }
    ReportSummary(&report);
    return ReportExitCode(report);
}
