// qfscan: the window's drive scan from a console, for unattended cleaning, with exit codes.
//
// Each PATH is walked with the window's walk and infection test, so the same files are counted
// and tested (a PATH that is a file is tested alone); the infected ones are reported, and deleted
// or moved when asked. Everything the walk cannot scan is reported on standard error and makes
// the exit code 2.
#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "console/console_platform.h"
#include "console/log_file.h"
#include "console/quarantine_command.h"
#include "console/report.h"
#include "fs/file_system.h"
#include "qf_version.h"
#include "quarantine/quarantine.h"
#include "scan/tree_walk.h"
#include "text/windows_names.h"

namespace {

// Enough requests in flight for a disk from cold cache; see bench/README.md's tables. --help
// prints both numbers from here.
constexpr int kDefaultJobs = 16;
constexpr int kMaxJobs = 64;

// On Linux files are read in the disk's order, in batches (tree_walk.h); qfscan.exe
// walks as the window does.
#ifdef _WIN32
constexpr bool kDiskOrder = false;
#else
constexpr bool kDiskOrder = true;
#endif

const char kVersion[] = "qfscan " QF_VERSION "\n";

// printf format: the largest and the default number of jobs.
const char kHelp[] =
    "Usage: qfscan [--delete | --move DIR] [OPTION]... [--] PATH...\n"
    "  or:  qfscan --offline ROOT [--dry-run] [--delete | --move DIR] [--windows DIR] [OPTION]...\n"
    "  or:  qfscan --list DIR [--json]\n"
    "  or:  qfscan --restore DIR [--json] [ORIGINAL-PATH]...\n"
    "  or:  qfscan --rescue-volume RECORD [--pass check|clean] [OPTION]...\n"
    "  or:  qfscan --rescue-summary DIR [--mode check|clean] [OPTION]...\n"
    "  or:  qfscan --help | --version\n"
    "\n"
    "Scans each PATH for programs infected by the Zaverin worm, as Quenfold's window does: every\n"
    "file is counted, every 32-bit Windows program is tested; links and junctions are not\n"
    "followed. A PATH that is a file is tested alone. Every folder is scanned, dot folders too\n"
    "(the window passes over folders whose names begin with a dot). Options may follow the\n"
    "paths; -- ends them.\n"
    "On Linux files are read in the disk's order, a batch at a time: at most 32,768 files of at\n"
    "most 4,096 folders are listed, opened in inode order to learn where their data lies, and\n"
    "tested in that order, so memory stays flat on any volume (files already in memory are\n"
    "tested as listed).\n"
    "\n"
    "  --delete       delete the infected files\n"
    "  --move DIR     move them into the quarantine DIR instead: an empty folder or one that\n"
    "                 holds an index.jsonl; each file is stored under a name nothing runs,\n"
    "                 and its index line keeps where it was and what it was\n"
    "  --list DIR     print what the quarantine DIR holds\n"
    "  --restore DIR  put the files of the quarantine DIR back where they were (all, or those\n"
    "                 whose ORIGINAL-PATH is given), never over a file, and only when they are\n"
    "                 unchanged; a restored file is as infected as it was\n"
    "  -j, --jobs N   scan with N threads (1 to %d, default %d): folders are shared out as\n"
    "                 they are found, so the disk gets several requests at once; with more\n"
    "                 than one, infected files are reported in the order they are found\n"
    "  --json         one JSON object per line instead of text\n"
    "  --quiet        print only the infected files, the changes and the summary, then one\n"
    "                 last line with the verdict and the counts; standard error gets only what\n"
    "                 failed or was left\n"
    "  --event-log    (Windows) also write every finding, change, restore and the summary to the\n"
    "                 Application log, source Quenfold (registered on first use, which needs an\n"
    "                 administrator once), one event ID per meaning:\n"
    "                 1000 scan finished, 1001 infected file found (left), 1002 removed,\n"
    "                 1003 quarantined, 1004 could not be removed, 1005 restart needed,\n"
    "                 1006 restored, 1007 cleanup change made, 1008 cleanup change refused\n"
    "  --syslog       (Linux) the same records to syslog (LOG_USER): findings as warnings,\n"
    "                 failures as errors, the summary as a notice\n"
    "  --exit-codes installer\n"
    "                 exit with the codes installers and management tools read (Intune,\n"
    "                 Configuration Manager): 0 nothing infected left, 3010 a restart finishes\n"
    "                 the removal, 1603 anything else (infected files only reported included)\n"
    "  --log FILE     also append what standard output gets to FILE, a line at a time (many\n"
    "                 machines may append to one file on a share)\n"
    "  --cleanup      first run Quenfold's start-up cleanup on this Windows machine: end the\n"
    "                 worm's processes (and every program that loaded msvbvm60.dll), repair\n"
    "                 the Run keys and Userinit, delete the worm's files, or with --move DIR\n"
    "                 store them there (Windows only)\n"
    "  --offline ROOT\n"
    "                 clean the Windows system mounted at ROOT from a Linux rescue system:\n"
    "                 registry hives, the worm's files, then a scan of ROOT (Linux only);\n"
    "                 alone it reports every change it would make, and makes them only\n"
    "                 with --delete or --move DIR\n"
    "  --dry-run      with --offline: report every change, make none (even with --delete)\n"
    "  --windows DIR  with --offline: the Windows folder in ROOT to clean, where ROOT holds more\n"
    "                 than one that its own registry names as the system's\n"
    "  --rescue-volume RECORD\n"
    "                 for Quenfold Rescue (Linux only): scan the volume its init recorded in\n"
    "                 RECORD (with the offline repair when it holds Windows; a dry run unless\n"
    "                 --pass clean and the volume may be written), show it on the screen DEV\n"
    "                 and the serial DEV, append it to FILE, and write RECORD.result\n"
    "  --rescue-summary DIR\n"
    "                 for Quenfold Rescue: the summary of every record in DIR, paged with\n"
    "                 Enter or space from --keys DEV or the serial line (--keys none: from\n"
    "                 nowhere, the pages follow one another at once)\n"
    "  --skip-dot-folders\n"
    "                 pass over folders whose names begin with a dot, as the window does (for\n"
    "                 its counts)\n"
    "\n"
    "Output: a line per infected file (PATH: infected[, deleted | , moved to NEW |\n"
    ", deleted at restart | , not deleted: REASON | , not moved: REASON]), then the summary.\n"
    "Folders and files that cannot be scanned go to standard error as \"skipped: PATH: REASON\".\n"
    "(Linux) A folder of a kernel file system below a PATH (/proc, /sys, ...) is not scanned and\n"
    "not counted as skipped: standard error gets \"passed over: PATH: REASON\" (not with\n"
    "--quiet). While standard error is a terminal, a progress line is shown there.\n"
    "\n"
    "JSON lines (--json), each with a type, its time (UTC, ISO 8601) and the host:\n"
    "  infected  path, action (none, deleted, moved, not_deleted, not_moved, delete_at_restart),\n"
    "            moved_to, reason, size and sha256 (of the file as it was found)\n"
    "  verdict   found (true/false), refused (true/false: a change it needed was refused),\n"
    "            text: the start-up cleanup's or offline repair's verdict\n"
    "  change    place, change, done, dry_run, error (why, when not done): a change of the\n"
    "            offline repair\n"
    "  summary   directories, files, infected, deleted, moved, deleted_at_restart, skipped, stopped,\n"
    "            exit_code, elapsed_ms, version, started, finished (UTC, ISO 8601)\n"
    "  quarantined  (--list) path, stored, size, sha256, moved, host, why, state (held,\n"
    "               restored, missing), restored (when)\n"
    "  restore   (--restore) path, done, error (why, when not done), note (when done: what of\n"
    "            its metadata, or of its mark in the index, could not be given)\n"
    "\n"
    "--list and --restore exit 0 when everything asked was done, 2 otherwise.\n"
    "\n"
    "Exit codes:\n"
    "  0  nothing infected, and everything was scanned\n"
    "  1  infected files (or the worm) found, and every one handled as asked\n"
    "  2  an error: a bad option, a missing or unlistable PATH, anything skipped, or an infected\n"
    "     file that could not be deleted or moved as asked, a stopped scan (STATUS: Stopped), or\n"
    "     output that could not be written (then nothing more is changed)\n"
    "  3  (Windows, --delete) every infected file handled, and a restart is needed to finish:\n"
    "     files in use are deleted when Windows next starts\n"
    "With --exit-codes installer: 0 for 0 and for 1 when every infected file was removed, 3010\n"
    "for 3, 1603 for 2 and for infected files left.\n";

struct Options {
    bool deleteInfected = false;
    bool json = false;
    bool quiet = false;
    bool cleanup = false;
    bool dryRun = false;
    bool skipDotFolders = false;
    bool installerCodes = false;  // --exit-codes installer
    bool systemLog = false;       // --event-log (Windows) or --syslog (Linux)
    int jobs = kDefaultJobs;
    std::string moveDir;
    bool list = false;       // --list: print the quarantine
    bool restore = false;    // --restore: give back from the quarantine, paths its files
    std::string quarantine;  // the folder of --list or --restore
    std::string offlineRoot;
    std::string windows;  // --windows: the Windows folder in offlineRoot, where there are several
    std::string logFile;
    std::vector<std::string> paths;
    std::vector<std::string> notes;  // PATHs left out because another PATH holds them
    bool rescueVolume = false;       // --rescue-volume: one volume of the rescue's records
    bool rescueSummary = false;      // --rescue-summary: the rescue's summary
    RescueOptions rescue{};
    std::vector<const char*> rescueGiven;  // the rescue's other options, as given
};

int Fail(const std::string& problem)
{
    ConsoleWrite(stderr, "qfscan: " + problem + " (see qfscan --help)\n");
    return kExitError;
}

std::string FullPath(const std::string& path)
{
    char full[kFsPathCapacity];
    return FsFullPath(path.c_str(), full, sizeof full) ? full : "";
}

// Whether the folder whose chain (itself and its ancestors) is given is outer or lies below it.
bool Within(const std::vector<FolderId>& chain, const FolderId& outer)
{
    for (const FolderId& id : chain)
        if (id == outer)
            return true;
    return false;
}

std::string ErrorText(int error)
{
    char text[256];
    FsErrorText(error, text, sizeof text);
    return text;
}

// Help and version text: a failed write is an error too.
int Print(const char* text)
{
    return std::fputs(text, stdout) >= 0 && std::fflush(stdout) == 0 ? kExitClean : kExitError;
}

int PrintHelp()
{
    return std::printf(kHelp, kMaxJobs, kDefaultJobs) >= 0 && std::fflush(stdout) == 0 ? kExitClean : kExitError;
}

// Where path's folder ends: at its last separator, which a root keeps ("/", "C:\\").
size_t FolderEnd(const std::string& path)
{
    const size_t cut = path.rfind(kFsSeparator);
    return cut == 0 || (cut == 2 && path[1] == ':') ? cut + 1 : cut;
}

// --list and --restore take their folder as the first PATH unless it came as --list=DIR, so that
// an option may stand between: "--list --json DIR" lists DIR.
bool TakeQuarantineFolder(Options* options, bool given, int* exitCode)
{
    const std::string name = options->list ? "--list" : "--restore";
    if (!given && options->paths.empty()) {
        *exitCode = Fail(name + " needs a folder");
        return false;
    }
    if (!given) {
        options->quarantine = options->paths.front();
        options->paths.erase(options->paths.begin());
    }
    if (options->quarantine.empty()) {
        *exitCode = Fail(name + " needs a folder, not \"\"");
        return false;
    }
    return true;
}

// Reads the command line into options; false with *exitCode after --help or --version, and on an
// option that cannot be read.
bool ReadArguments(int argc, char** argv, Options* options, int* exitCode)
{
    // Long options only: values past any character, so that none is taken for a short option.
    enum { kOptDelete = 256, kOptQuiet, kOptCleanup, kOptMove, kOptOffline, kOptDryRun, kOptHelp, kOptVersion,
           kOptLog, kOptJson, kOptWindows, kOptSkipDot, kOptList, kOptRestore, kOptRescueVolume, kOptRescueSummary,
           kOptPass, kOptMode, kOptScreen, kOptSerial, kOptReport, kOptKeys, kOptReportsAt, kOptExitCodes,
           kOptEventLog, kOptSyslog };
    static const option kLong[] = {
        {"delete", no_argument, nullptr, kOptDelete},       {"move", required_argument, nullptr, kOptMove},
        {"json", no_argument, nullptr, kOptJson},         {"quiet", no_argument, nullptr, kOptQuiet},
        {"cleanup", no_argument, nullptr, kOptCleanup},      {"offline", required_argument, nullptr, kOptOffline},
        {"dry-run", no_argument, nullptr, kOptDryRun},  {"help", no_argument, nullptr, kOptHelp},
        {"version", no_argument, nullptr, kOptVersion}, {"log", required_argument, nullptr, kOptLog},
        {"jobs", required_argument, nullptr, 'j'},     {"windows", required_argument, nullptr, kOptWindows},
        {"skip-dot-folders", no_argument, nullptr, kOptSkipDot},
        {"list", optional_argument, nullptr, kOptList}, {"restore", optional_argument, nullptr, kOptRestore},
        {"rescue-volume", required_argument, nullptr, kOptRescueVolume},
        {"rescue-summary", required_argument, nullptr, kOptRescueSummary},
        {"pass", required_argument, nullptr, kOptPass},     {"mode", required_argument, nullptr, kOptMode},
        {"screen", required_argument, nullptr, kOptScreen}, {"serial", required_argument, nullptr, kOptSerial},
        {"report", required_argument, nullptr, kOptReport}, {"keys", required_argument, nullptr, kOptKeys},
        {"reports-at", required_argument, nullptr, kOptReportsAt},
        {"exit-codes", required_argument, nullptr, kOptExitCodes},
        {"event-log", no_argument, nullptr, kOptEventLog},   {"syslog", no_argument, nullptr, kOptSyslog},
        {nullptr, 0, nullptr, 0}};
    opterr = 0;
    bool quarantineGiven = false;  // as --list=DIR or --restore=DIR
    // Options may follow the paths, as GNU tools take them; "--" ends them.
    for (int c; (c = getopt_long(argc, argv, "j:", kLong, nullptr)) != -1;) {
        switch (c) {
        case kOptDelete: options->deleteInfected = true; break;
        case kOptMove:
        case kOptOffline:
            if (*optarg == '\0') {
                *exitCode = Fail(std::string(c == kOptMove ? "--move" : "--offline") + " needs a folder, not \"\"");
                return false;
            }
            (c == kOptMove ? options->moveDir : options->offlineRoot) = optarg;
            break;
        case kOptJson: options->json = true; break;
        case 'j': {
            char* end = nullptr;
            const long jobs = std::strtol(optarg, &end, 10);
            if (*optarg == '\0' || *end != '\0' || jobs < 1 || jobs > kMaxJobs) {
                *exitCode = Fail(std::string("--jobs takes a number from 1 to ") + std::to_string(kMaxJobs) +
                                 ", not \"" + optarg + "\"");
                return false;
            }
            options->jobs = static_cast<int>(jobs);
            break;
        }
        case kOptQuiet: options->quiet = true; break;
        case kOptCleanup: options->cleanup = true; break;
        case kOptDryRun: options->dryRun = true; break;
        case kOptSkipDot: options->skipDotFolders = true; break;
        case kOptLog: options->logFile = optarg; break;
        case kOptEventLog:
        case kOptSyslog:
            // Each platform's own log: the option names which, and is refused on the other.
            if ((c == kOptEventLog) != (kFsSeparator == '\\')) {
                *exitCode = Fail(c == kOptEventLog ? "--event-log is for Windows (here: --syslog)"
                                                   : "--syslog is for Linux (on Windows: --event-log)");
                return false;
            }
            options->systemLog = true;
            break;
        case kOptExitCodes:
            if (std::strcmp(optarg, "installer") != 0 && std::strcmp(optarg, "default") != 0) {
                *exitCode = Fail(std::string("--exit-codes takes installer or default, not \"") + optarg + "\"");
                return false;
            }
            if (std::strcmp(optarg, "installer") == 0 && kFsSeparator != '\\') {
                *exitCode = Fail("--exit-codes installer is for Windows, whose installers read codes past 255");
                return false;
            }
            options->installerCodes = std::strcmp(optarg, "installer") == 0;
            break;
        case kOptWindows: options->windows = optarg; break;
        case kOptList:
        case kOptRestore:
            (c == kOptList ? options->list : options->restore) = true;
            if (optarg != nullptr) {
                options->quarantine = optarg;
                quarantineGiven = true;
            }
            break;
        case kOptRescueVolume: options->rescue.record = optarg; options->rescueVolume = true; break;
        case kOptRescueSummary: options->rescue.folder = optarg; options->rescueSummary = true; break;
        case kOptPass:
        case kOptMode:
            if (std::strcmp(optarg, "check") != 0 && std::strcmp(optarg, "clean") != 0) {
                *exitCode = Fail(std::string(c == kOptPass ? "--pass" : "--mode") + " takes check or clean, not \"" +
                                 optarg + "\"");
                return false;
            }
            (c == kOptPass ? options->rescue.cleanPass : options->rescue.cleanMode) = std::strcmp(optarg, "clean") == 0;
            options->rescueGiven.push_back(c == kOptPass ? "--pass" : "--mode");
            break;
        case kOptScreen: options->rescue.screen = optarg; options->rescueGiven.push_back("--screen"); break;
        case kOptSerial: options->rescue.serial = optarg; options->rescueGiven.push_back("--serial"); break;
        case kOptReport: options->rescue.report = optarg; options->rescueGiven.push_back("--report"); break;
        case kOptKeys: options->rescue.keys = optarg; options->rescueGiven.push_back("--keys"); break;
        case kOptReportsAt: options->rescue.reportsAt = optarg; options->rescueGiven.push_back("--reports-at"); break;
        case kOptHelp: *exitCode = PrintHelp(); return false;
        case kOptVersion: *exitCode = Print(kVersion); return false;
        default:
            *exitCode = Fail(optopt == kOptLog ? std::string("--log needs a file")
                             : optopt == 'j' ? std::string("--jobs needs a number")
                             : optopt == kOptMove || optopt == kOptOffline || optopt == kOptWindows ? std::string(argv[optind - 1]) + " needs a folder"
                             : optopt >= kOptRescueVolume ? std::string(argv[optind - 1]) + " needs a value"
                                                                   : "unknown option " + std::string(argv[optind - 1]));
            return false;
        }
    }
    for (int i = optind; i < argc; ++i)
        options->paths.push_back(argv[i]);
    return (!options->list && !options->restore) || TakeQuarantineFolder(options, quarantineGiven, exitCode);
}

// What keeps --list or --restore from going with the other options (--json alone); nullptr when
// nothing does.
const char* QuarantineConflict(const Options& options)
{
    if (options.list && options.restore)
        return "--list and --restore exclude each other";
    if (options.deleteInfected || !options.moveDir.empty() || !options.offlineRoot.empty() || options.cleanup ||
        options.dryRun || !options.windows.empty() || !options.logFile.empty())
        return "--list and --restore take only --json";
    return options.list && !options.paths.empty() ? "--list takes no PATH" : nullptr;
}

// What keeps a scan's options from going together, or from being carried out on this system;
// nullptr when nothing does.
const char* ScanConflict(const Options& options)
{
    const char* problem = nullptr;
    if (options.deleteInfected && !options.moveDir.empty())
        problem = "--delete and --move exclude each other";
    else if (!options.offlineRoot.empty() && !options.paths.empty())
        problem = "--offline scans its ROOT and takes no PATH";
    else if (!options.offlineRoot.empty() && options.cleanup)
        problem = "--cleanup is for the running system, --offline for one mounted here";
    else if (options.dryRun && options.offlineRoot.empty())
        problem = "--dry-run goes with --offline";
    else if (!options.windows.empty() && options.offlineRoot.empty())
        problem = "--windows goes with --offline";
    else if (options.windows.find_first_of("/\\") != std::string::npos || options.windows == "." ||
             options.windows == "..")
        problem = "--windows takes the name of a folder in ROOT, such as Windows";
    else if (options.offlineRoot.empty() && options.paths.empty())
        problem = "no PATH to scan";
    else if (options.cleanup && kFsSeparator != '\\')
        problem = "--cleanup needs Windows (from a Linux rescue system, use --offline ROOT)";
    else if (options.cleanup && !RunningAsAdministrator())
        problem = "--cleanup needs an administrator: run it from an elevated prompt, nothing was changed";
    else if (!options.offlineRoot.empty() && !OfflineSupported())
        problem = "--offline needs a Linux rescue system (on the running Windows, use --cleanup)";
    return problem;
}

// What keeps the rescue's options from going together; nullptr when nothing does.
std::string RescueConflict(const Options& options)
{
    const bool rescue = options.rescueVolume || options.rescueSummary;
    if (!rescue)
        return options.rescueGiven.empty() ? "" : std::string(options.rescueGiven[0]) +
                                                      " goes with --rescue-volume or --rescue-summary";
    if (options.rescueVolume && options.rescueSummary)
        return "--rescue-volume and --rescue-summary exclude each other";
    if (!OfflineSupported())
        return "the rescue's options need a Linux rescue system";
    if (options.deleteInfected || !options.moveDir.empty() || !options.offlineRoot.empty() || options.cleanup ||
        options.dryRun || !options.windows.empty() || !options.logFile.empty() || options.json || options.quiet ||
        options.list || options.restore || !options.paths.empty())
        return "the rescue's options go only with each other (and --jobs)";
    for (const char* given : options.rescueGiven) {
        const std::string name = given;
        if (options.rescueVolume && (name == "--mode" || name == "--keys" || name == "--reports-at"))
            return name + " goes with --rescue-summary";
        if (options.rescueSummary && name == "--pass")
            return "--pass goes with --rescue-volume";
    }
    return "";
}

// Refuses options that do not go together, or that this system cannot carry out.
bool CheckCombinations(const Options& options, int* exitCode)
{
    const std::string rescue = RescueConflict(options);
    if (!rescue.empty()) {
        *exitCode = Fail(rescue);
        return false;
    }
    if (options.rescueVolume || options.rescueSummary)
        return true;
    const char* problem = options.list || options.restore ? QuarantineConflict(options) : ScanConflict(options);
    if (problem != nullptr)
        *exitCode = Fail(problem);
    return problem == nullptr;
}

// Makes every path absolute (the walk moves the current directory) and checks that it names what
// it must: a folder for the quarantine, --move and --offline, a file or folder for a PATH.
bool ResolvePaths(Options* options, int* exitCode)
{
    if (options->list || options->restore) {
        const std::string given = options->quarantine;
        options->quarantine = FullPath(given);
        if (options->quarantine.empty() || !FsIsDirectory(options->quarantine.c_str())) {
            *exitCode = Fail(given + ": no such folder");
            return false;
        }
        for (std::string& path : options->paths) {  // originals to restore, which need not exist
            const std::string full = FullPath(path);
            path = full.empty() ? path : full;
        }
        return true;
    }
    std::vector<std::string*> folders = {&options->moveDir, &options->offlineRoot};
    for (std::string& path : options->paths)
        folders.push_back(&path);
    for (std::string* folder : folders) {
        const bool scanPath = folder != &options->moveDir && folder != &options->offlineRoot;
        if (folder->empty() && scanPath) {
            *exitCode = Fail("an empty PATH names no folder");
            return false;
        }
        if (folder->empty())
            continue;
        const std::string given = *folder;
        *folder = FullPath(given);
        const bool file = scanPath && !folder->empty() && !FsIsDirectory(folder->c_str()) && FsIsFile(folder->c_str());
        if (folder->empty() || (file && !ResolveFile(folder)) || (!file && !FsIsDirectory(folder->c_str()))) {
            *exitCode = Fail(given + ": " + (folder->empty() ? "path too long"
                                             : file           ? "cannot be resolved"
                                             : scanPath       ? "no such file or folder"
                                                              : "no such folder"));
            return false;
        }
        FsDir dir;
        FsFileId id;
        if (FsOpenDirectory(folder->c_str(), &dir, &id)) {
            FsCloseDirectory(dir);
        } else if (FsPassedOver(FsLastError())) {
            *exitCode = Fail(given + ": " + ErrorText(FsLastError()));
            return false;
        }
    }
    return true;
}

// Compares what is scanned and the --move folder as the file system resolves them (device and
// file number of a folder and its ancestors; a file by its folder and its name there), so that no
// link, bind mount or other spelling makes one look like two: refuses a --move folder inside a
// scanned one, and leaves out a PATH that another holds (or repeats), so each file is scanned once.
bool SortOutOverlaps(Options* options, int* exitCode)
{
    std::vector<std::string> scanned = options->paths;
    if (!options->offlineRoot.empty())
        scanned.push_back(options->offlineRoot);
    std::vector<std::vector<FolderId>> chains(scanned.size());
    std::vector<std::string> names(scanned.size());  // a file's name; empty for a folder
    for (size_t i = 0; i < scanned.size(); ++i) {
        std::string folder = scanned[i];
        if (!FsIsDirectory(folder.c_str())) {
            names[i] = folder.substr(folder.rfind(kFsSeparator) + 1);
            folder.resize(FolderEnd(folder));
        }
        if (!FolderChain(folder, &chains[i])) {
            *exitCode = Fail(scanned[i] + ": cannot be opened");
            return false;
        }
    }
    std::vector<FolderId> moveChain;
    if (!options->moveDir.empty() && !FolderChain(options->moveDir, &moveChain)) {
        *exitCode = Fail(options->moveDir + ": cannot be opened");
        return false;
    }
    for (size_t i = 0; i < scanned.size(); ++i) {
        if (!moveChain.empty() && names[i].empty() && Within(moveChain, chains[i][0])) {
            *exitCode = Fail("--move " + options->moveDir + " lies inside " + scanned[i] + ", which is scanned");
            return false;
        }
    }
    std::vector<std::string> kept;
    for (size_t i = 0; i < options->paths.size(); ++i) {
        size_t holder = scanned.size();
        for (size_t j = 0; j < scanned.size() && holder == scanned.size(); ++j) {
            // A folder holds what lies in it or below, a file only itself; of two alike, the first.
            // Names in one folder: Linux tells letter case apart, Windows does not.
            const bool same = chains[j][0] == chains[i][0] &&
                              (kFsSeparator == '/' ? names[j] == names[i] : SameName(names[j], names[i]));
            const bool holds = names[j].empty() ? Within(chains[i], chains[j][0]) : same;
            if (j != i && holds && (!same || j < i))
                holder = j;
        }
        if (holder == scanned.size())
            kept.push_back(options->paths[i]);
        else
            options->notes.push_back(options->paths[i] + " lies inside " + scanned[holder] + ": scanned with it");
    }
    options->paths = kept;
    return true;
}

// Parses the command line into options; on a bad one, *exitCode is what to exit with.
bool ParseOptions(int argc, char** argv, Options* options, int* exitCode)
{
    if (!ReadArguments(argc, argv, options, exitCode) || !CheckCombinations(*options, exitCode))
        return false;
    if (options->rescueVolume || options->rescueSummary)
        return true;
    if (!ResolvePaths(options, exitCode))
        return false;
    return options->list || options->restore || SortOutOverlaps(options, exitCode);
}

// What the run does with what it finds, decided once for everything it scans and repairs: only
// --delete or --move change anything, and nothing with --dry-run (PolicyChanges).
DisposalPolicy RunPolicy(const Options& options)
{
    const Disposal action = !options.moveDir.empty() ? Disposal::Move
                            : options.deleteInfected ? Disposal::Delete
                                                     : Disposal::Leave;
    return {action, options.moveDir.empty() ? nullptr : options.moveDir.c_str(), options.deleteInfected, options.dryRun};
}

// Reports what the last step of the walk met; the walk has counted it.
void ReportStep(const TreeWalk& walk, WalkStep step, Report* report)
{
    if (walk.note == WalkNote::None)
        return;
    if (step != WalkStep::Entry) {
        const char* what = walk.note == WalkNote::NotEntered ? "cannot be entered: " : "cannot be listed: ";
        SaySkipped(report, WalkCurrentEntry(&walk), what + ErrorText(walk.noteError));
        return;
    }
    const std::string path = walk.path;
    switch (walk.note) {
    case WalkNote::Infected: ReportInfected(report, path, walk.outcome, walk.target); break;
    case WalkNote::Unreadable: SaySkipped(report, path, "cannot be read: " + ErrorText(walk.noteError)); break;
    case WalkNote::TooLong: SaySkipped(report, path, "path too long"); break;
    case WalkNote::NotEntered: SaySkipped(report, path, "cannot be entered: " + ErrorText(walk.noteError)); break;
    case WalkNote::PassedOver: ReportPassedOver(report, path, ErrorText(walk.noteError)); break;
    default: break;
    }
}

void AddCounts(ScanCounts* total, const ScanCounts& more)
{
    total->directories += more.directories;
    total->files += more.files;
    total->infected += more.infected;
    total->deleted += more.deleted;
    total->skipped += more.skipped;
    total->moved += more.moved;
    total->atRestart += more.atRestart;
    total->unhandled += more.unhandled;
}

// One of the walks that share a folder's scan, with its own buffers.
struct Worker {
    TreeWalk walk;
    char text[kFsPathCapacity];
    WalkStep end = WalkStep::Finished;
};

// Walks one folder with options.jobs walks on one frontier (one walk: the same order as a walk of
// its own); false when an interrupt ended it. The report has one writer at a time: a walk takes
// reportLock to report what it met, and to show progress when it is due.
bool ScanFolder(const std::string& root, const DisposalPolicy& policy, const Options& options,
                const std::atomic<int>* interrupt, Report* report)
{
    ReportNote(report, "scanning " + root);
    std::mutex disposals;  // a change is reported before the next is made: a broken report stops them
    const WalkOptions walkOptions{policy, false, &disposals, options.skipDotFolders, kDiskOrder};
    WalkFrontier frontier;
    const size_t jobs = static_cast<size_t>(options.jobs);
    std::unique_ptr<Worker[]> workers(new (std::nothrow) Worker[jobs]);  // the buffers are big
    if (workers == nullptr || !FrontierBegin(&frontier, root.c_str())) {
        ReportSkipped(report, root, "not enough memory");
        return true;
    }
    for (size_t i = 0; i < jobs; ++i)
        WalkJoin(&workers[i].walk, &frontier, workers[i].text, kFsPathCapacity, walkOptions, interrupt);

    std::mutex reportLock;
    std::vector<ScanCounts> shown(jobs);  // each walk's counts when it last reported, for progress
    std::atomic<uint64_t> progressDue{0};
    const uint64_t start = MonotonicMs();
    auto work = [&](size_t i) {
        TreeWalk& walk = workers[i].walk;
        WalkStep step;
        while (WalkGoesOn(step = WalkNext(&walk))) {
            const bool due = report->progress && MonotonicMs() >= progressDue.load(std::memory_order_relaxed);
            if (walk.note == WalkNote::None && !due)
                continue;
            std::lock_guard<std::mutex> hold(reportLock);
            ReportStep(walk, step, report);
            if (report->progress) {
                shown[i] = walk.counts;
                ScanCounts soFar = report->counts;
                for (const ScanCounts& counts : shown)
                    AddCounts(&soFar, counts);
                ReportProgress(report, MonotonicMs(), start, soFar, WalkCurrentEntry(&walk));
                progressDue.store(report->lastProgressMs + 100, std::memory_order_relaxed);
            }
        }
        workers[i].end = step;
    };
    std::vector<std::thread> threads;
    for (size_t i = 1; i < jobs; ++i) {
        try {
            threads.emplace_back(work, i);
        } catch (const std::system_error&) {
            break;  // fewer threads take the same folders
        }
    }
    work(0);
    for (std::thread& thread : threads)
        thread.join();

    bool stopped = false;
    for (size_t i = 0; i < jobs; ++i) {
        const TreeWalk& walk = workers[i].walk;
        if (workers[i].end == WalkStep::RootUnlisted)
            SaySkipped(report, root, "cannot be listed: " + ErrorText(walk.noteError));
        else if (workers[i].end == WalkStep::OutOfMemory)
            SaySkipped(report, WalkCurrentEntry(&walk), "not enough memory to queue its folders");
        stopped |= workers[i].end == WalkStep::Stopped;
        AddCounts(&report->counts, walk.counts);
        WalkEnd(&workers[i].walk);
    }
    FrontierEnd(&frontier);
    return !stopped;
}

bool NotInterrupted(void* interrupt)
{
    return static_cast<std::atomic<int>*>(interrupt)->load() == 0;
}

// A PATH that is a file, tested alone as a listed file is (a link at its end was followed: the
// user named it) and disposed of by policy; false when an interrupt ended it.
bool ScanFile(const std::string& path, const DisposalPolicy& policy, std::atomic<int>* interrupt, Report* report)
{
    ReportNote(report, "scanning " + path);
    if (interrupt->load() != 0)
        return false;
    ScanCounts counts{};
    counts.files = 1;
    FsFile file;
    if (FsOpenFile(path.c_str(), &file)) {
        std::vector<char> target(kFsPathCapacity);
        const FileRequest request{Examination::Listed, file.name, path.c_str(), nullptr, target.data(), target.size()};
        const DisposalGate gate{NotInterrupted, interrupt};
        const FileOutcome outcome = TestAndDispose(&file, request, policy, &gate);
        FsClose(&file);
        CountOutcome(&counts, outcome);
        if (outcome.check.verdict == FileVerdict::Unreadable)
            SaySkipped(report, path, "cannot be read: " + ErrorText(outcome.check.error));
        else if (outcome.check.verdict == FileVerdict::Infected)
            ReportInfected(report, path, outcome, target.data());
    } else {
        ++counts.skipped;
        SaySkipped(report, path, "cannot be read: " + ErrorText(FsLastError()));
    }
    AddCounts(&report->counts, counts);
    return interrupt->load() == 0;
}

bool ScanPath(const std::string& path, const DisposalPolicy& policy, const Options& options,
              std::atomic<int>* interrupt, Report* report)
{
    return FsIsDirectory(path.c_str()) ? ScanFolder(path, policy, options, interrupt, report)
                                       : ScanFile(path, policy, interrupt, report);
}

// --rescue-volume: one volume of the rescue's records, written to its screen, serial line and
// report by qfscan itself; a Windows system gets the offline repair first (a dry run in the
// check pass), then its files are scanned.
int ScanRescueVolume(Options* options, std::atomic<int>* interrupt)
{
    Report report = MakeReport(false, false, false, true);
    report.stop = interrupt;
    RescueVolumeRun run;
    int exitCode = kExitError;
    if (!RescueVolumeBegin(options->rescue, &report, &run, &exitCode))
        return RescueVolumeEnd(options->rescue, &report, &run, false);
    bool refused = false;
    DisposalPolicy policy{run.clean ? Disposal::Delete : Disposal::Leave, nullptr, false, false};
    if (run.system)
        refused = !OfflineRepair({run.root, policy, ""}, &report);
    // A system whose registry cannot be repaired is not cleaned at all: its files are only checked.
    if (refused && run.clean) {
        ReportNote(&report, "Nothing on this volume was changed, since its registry could not be repaired.");
        policy.dryRun = true;
    }
    if (!report.broken && !ScanFolder(run.root, policy, *options, interrupt, &report))
        report.stopped = true;
    report.stopped |= interrupt->load() != 0;
    ReportSummary(&report);
    return RescueVolumeEnd(options->rescue, &report, &run, refused);
}

// Everything after the start-up; the exit code in qfscan's own convention, or the installers'
// where the report already speaks it.
int RunQfscan(int argc, char** argv, Options& options)
{
    int exitCode = kExitError;
    if (!ParseOptions(argc, argv, &options, &exitCode))
        return exitCode;
    static std::atomic<int> interrupt{0};
    if (options.rescueSummary)
        return RescueSummary(options.rescue);
    if (options.rescueVolume) {
        CatchInterrupt(&interrupt);
        return ScanRescueVolume(&options, &interrupt);
    }
    std::string systemLogError;
    if (options.systemLog && !SystemLogOpen(&systemLogError)) {
        ConsoleWrite(stderr, std::string("qfscan: ") + (kFsSeparator == '\\' ? "--event-log" : "--syslog") + ": " +
                                 systemLogError + "; nothing was scanned\n");
        return kExitError;
    }
    if (options.list)
        return ListQuarantine(options.quarantine, options.json);
    if (options.restore) {
        CatchInterrupt(&interrupt);
        return RestoreQuarantine(options.quarantine, options.paths, options.json, &interrupt);
    }
    std::string why;
    if (!options.moveDir.empty() && !QuarantineReady(options.moveDir, false, &why))
        return Fail("--move " + options.moveDir + " " + why);

    CatchInterrupt(&interrupt);
    // Before anything is changed, and after the handlers are set: a signal while it opens ends
    // the run as any other does.
    std::string logError;
    if (!options.logFile.empty() && !LogOpen(options.logFile, &logError)) {
        ConsoleWrite(stderr, "qfscan: --log " + options.logFile + ": " + logError + "; nothing was scanned\n");
        return kExitError;
    }
    const DisposalPolicy policy = RunPolicy(options);
    const bool moving = policy.action == Disposal::Move && PolicyChanges(policy);
    if (moving && !QuarantineReady(options.moveDir, true, &why))
        return Fail("--move " + options.moveDir + " " + why);
    Report report = MakeReport(options.json, options.quiet, moving, StderrIsTerminal());
    report.installerCodes = options.installerCodes;
    report.stop = &interrupt;
    for (const std::string& note : options.notes)
        ReportNote(&report, note);
    if (options.cleanup)
        ReportVerdict(&report, RunSystemCleanup(options.moveDir, &report));
    if (!options.offlineRoot.empty()) {
        if (!OfflineRepair({options.offlineRoot, policy, options.windows}, &report))
            return ReportExitCode(report);  // the system could not be read: nothing was changed
        options.paths.push_back(options.offlineRoot);
    }
    for (const std::string& path : options.paths) {
        if (report.broken || !ScanPath(path, policy, options, &interrupt, &report)) {
            report.stopped = true;
            break;
        }
    }
    report.stopped |= interrupt.load() != 0;
    ReportSummary(&report);
    return ReportExitCode(report);
}

}  // namespace

int main(int argc, char** argv)
{
    ConsoleStart(&argc, &argv);
    Options options;
    const int exitCode = RunQfscan(argc, argv, options);
    // A run that ended before its report (a bad option, a log that cannot be opened) failed too.
    return options.installerCodes && exitCode == kExitError ? kInstallerFailed : exitCode;
}
