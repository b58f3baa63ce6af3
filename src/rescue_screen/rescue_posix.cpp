// The rescue's screens on Linux: qfscan --rescue-volume and --rescue-summary (docs/rescue.md).
//
// Who writes what: the outputs of one volume (Outputs) are shared by the thread that reports
// (the main thread, or a walk holding qfscan's report lock) and the ticker, which redraws the
// progress every second on the screen and every ten on the serial line, so that a long file or
// the registry's check never leaves the screen still. Every field below the lock is written and
// read only with it held; done is the ticker's stop request.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "console/console_platform.h"
#include "console/report.h"
#include "fs/file_system.h"
#include "rescue/repair_linux.h"
#include "rescue_screen/records.h"
#include "rescue_screen/summary.h"

namespace {

constexpr uint64_t kScreenEveryMs = 1000;  // at most two seconds apart, whatever the scan does
constexpr uint64_t kSerialEveryMs = 10000;

struct Outputs {
    int screen = -1;
    int serial = -1;
    int report = -1;
    size_t width = 80;         // the screen's columns
    std::string volume;        // how the progress line names the volume, escaped
    std::string mountShown;    // the mount point and a slash, escaped: cut from the paths shown
    ReportTee tee{};
    std::mutex lock;
    std::condition_variable wake;
    bool done = false;
    uint64_t startMs = 0, serialMs = 0;
    ScanCounts counts{};
    std::string folder;        // escaped
    bool progressShown = false;  // a progress line stands on the screen
    bool reportFailed = false;
    std::thread ticker;
};

bool WriteAll(int fd, const std::string& text)
{
    for (size_t at = 0; fd >= 0 && at < text.size();) {
        const ssize_t got = write(fd, text.data() + at, text.size() - at);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        at += static_cast<size_t>(got);
    }
    return fd >= 0;
}

int OpenDevice(const std::string& path, int flags)
{
    if (path.empty())
        return -1;
    // A file in a device's place (a test's, a technician's capture) is appended to.
    return (flags & O_ACCMODE) == O_RDONLY ? open(path.c_str(), flags | O_NOCTTY | O_CLOEXEC)
                                          : open(path.c_str(), flags | O_NOCTTY | O_CLOEXEC | O_CREAT | O_APPEND, 0644);
}

void ScreenSize(int fd, size_t* width, size_t* height)
{
    winsize size{};
    if (fd >= 0 && ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col >= 20 && size.ws_row >= 5) {
        *width = size.ws_col;
        *height = size.ws_row;
    } else {
        *width = 80;
        *height = 25;
    }
}

// The tail of text that fits columns, whole characters.
std::string Tail(const std::string& text, size_t columns)
{
    size_t from = 0;
    while (from < text.size() && DisplayWidth(text.substr(from)) > columns) {
        ++from;
        while (from < text.size() && (static_cast<unsigned char>(text[from]) & 0xC0) == 0x80)
            ++from;
    }
    return text.substr(from);
}

std::string ProgressText(const Outputs& out, uint64_t nowMs)
{
    char text[160];
    std::snprintf(text, sizeof text, "%d folders, %d files, %d infected, %llu s", out.counts.directories,
                  out.counts.files, out.counts.infected,
                  static_cast<unsigned long long>((nowMs - out.startMs) / 1000));
    return out.volume + ": " + text;
}

void WipeProgress(Outputs* out)
{
    if (out->progressShown)
        WriteAll(out->screen, "\r" + std::string(out->width - 1, ' ') + "\r");
    out->progressShown = false;
}

// With the lock held: the progress line on the screen, and when due on the serial line.
void ShowProgress(Outputs* out, uint64_t nowMs)
{
    const std::string text = ProgressText(*out, nowMs);
    std::string line = text;
    const size_t room = out->width - 1;
    if (DisplayWidth(line) + 2 < room && !out->folder.empty())
        line += ": " + Tail(out->folder, room - DisplayWidth(line) - 2);
    if (DisplayWidth(line) > room)
        line = Tail(line, room);
    line += std::string(room - std::min(room, DisplayWidth(line)), ' ');
    WriteAll(out->screen, "\r" + line);
    out->progressShown = true;
    if (nowMs - out->serialMs >= kSerialEveryMs) {
        WriteAll(out->serial, "progress: " + text + "\n");
        out->serialMs = nowMs;
    }
}

void Tick(Outputs* out)
{
    std::unique_lock<std::mutex> hold(out->lock);
    while (!out->done) {
        out->wake.wait_for(hold, std::chrono::milliseconds(kScreenEveryMs));
        if (!out->done)
            ShowProgress(out, MonotonicMs());
    }
}

// A line of the report: its paths are shown from the volume's root.
std::string Shown(const Outputs& out, const std::string& line)
{
    if (!out.mountShown.empty() && line == "scanning " + out.mountShown.substr(0, out.mountShown.size() - 1))
        return "Scanning every file of the volume...";
    for (const char* prefix : {"", "skipped: ", "passed over: "}) {
        const std::string lead = prefix + out.mountShown;
        if (!out.mountShown.empty() && line.compare(0, lead.size(), lead) == 0)
            return prefix + line.substr(lead.size());
    }
    return line;
}

bool TeeLine(void* context, const std::string& text)
{
    Outputs* out = static_cast<Outputs*>(context);
    std::lock_guard<std::mutex> hold(out->lock);
    const std::string line = Shown(*out, text) + "\n";
    WipeProgress(out);
    WriteAll(out->screen, line);
    WriteAll(out->serial, line);
    // The report is what must be kept: a line it does not take stops every change after it.
    const bool kept = out->report < 0 || WriteAll(out->report, line);
    out->reportFailed |= !kept;
    return kept;
}

void TeeProgress(void* context, const ScanCounts& soFar, const char* folder)
{
    Outputs* out = static_cast<Outputs*>(context);
    std::lock_guard<std::mutex> hold(out->lock);
    out->counts = soFar;
    out->folder = PlainText(folder);
    const std::string& mount = out->mountShown;
    if (!mount.empty() && out->folder.compare(0, mount.size(), mount) == 0)
        out->folder = out->folder.substr(mount.size());
}

// Opens the three outputs; a screen or serial line that cannot be opened is left out (the
// report says so), a report file that cannot be opened ends the run.
Outputs* OpenOutputs(const RescueOptions& options, std::string* error)
{
    Outputs* out = new Outputs;
    out->screen = OpenDevice(options.screen, O_WRONLY);
    out->serial = OpenDevice(options.serial, O_WRONLY | O_NONBLOCK);
    if (out->serial >= 0)
        fcntl(out->serial, F_SETFL, fcntl(out->serial, F_GETFL) & ~O_NONBLOCK);
    out->report = OpenDevice(options.report, O_WRONLY);
    size_t height = 0;
    ScreenSize(out->screen, &out->width, &height);
    if (!options.report.empty() && out->report < 0) {
        *error = "--report " + options.report + ": " + std::strerror(errno);
        return out;
    }
    out->tee = {out, TeeLine, TeeProgress};
    return out;
}

void CloseOutputs(Outputs* out)
{
    if (out->ticker.joinable()) {
        {
            std::lock_guard<std::mutex> hold(out->lock);
            out->done = true;
        }
        out->wake.notify_all();
        out->ticker.join();
    }
    {
        std::lock_guard<std::mutex> hold(out->lock);
        WipeProgress(out);
    }
    for (int fd : {out->screen, out->serial, out->report})
        if (fd >= 0)
            close(fd);
    delete out;
}

bool ReadFile(const std::string& path, std::string* text)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    text->clear();
    char chunk[4096];
    ssize_t got;
    while (text->size() < kLargestRecord && ((got = read(fd, chunk, sizeof chunk)) > 0 || (got < 0 && errno == EINTR)))
        if (got > 0)
            text->append(chunk, static_cast<size_t>(got));
    close(fd);
    return true;
}

// Writes the result beside the record, through a new file put in place (FsPutInPlace), so that
// the summary never reads half of one.
bool WriteResult(const std::string& record, const VolumeResult& result)
{
    const std::string target = record + ".result", fresh = target + ".new";
    const int fd = open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    const bool written = fd >= 0 && WriteAll(fd, FormatVolumeResult(result));
    if (fd >= 0)
        close(fd);
    return written && FsPutInPlace(fresh.c_str(), target.c_str(), true);
}

// The drive letters of every Windows system on the volume.
std::vector<DriveLetter> SystemLetters(const std::string& root)
{
    std::vector<DriveLetter> letters;
    for (const std::string& folder : WindowsFolders(root)) {
        std::vector<std::pair<std::string, std::string>> values;
        std::string why;
        ReadMountedDevices(root, folder, &values, &why);
        for (const auto& value : values) {
            DriveLetter letter;
            if (DecodeMountedDevice(value.first, value.second, &letter))
                letters.push_back(letter);
        }
    }
    return letters;
}

std::string Base(const std::string& path)
{
    return path.substr(path.rfind('/') + 1);
}

std::vector<SummaryVolume> ReadVolumes(const std::string& folder);

// The drive letters that the systems scanned so far (the results beside record) gave.
std::vector<DriveLetter> KnownLetters(const std::string& record)
{
    std::vector<DriveLetter> letters;
    const size_t slash = record.rfind('/');
    for (const SummaryVolume& volume : ReadVolumes(slash == std::string::npos ? "." : record.substr(0, slash)))
        letters.insert(letters.end(), volume.result.letters.begin(), volume.result.letters.end());
    return letters;
}

}  // namespace

bool RescueVolumeBegin(const RescueOptions& options, Report* report, RescueVolumeRun* run, int* exitCode)
{
    *run = RescueVolumeRun{"", false, false, nullptr};
    *exitCode = kExitError;
    std::string text, error;
    VolumeRecord record{};
    const bool read = ReadFile(options.record, &text);
    if (read)
        record = ParseVolumeRecord(text);
    Outputs* out = OpenOutputs(options, &error);
    run->outputs = out;
    if (!error.empty()) {
        ConsoleWrite(stderr, "qfscan: " + PlainText(error) + "; nothing was scanned\n");
        return false;
    }
    report->tee = &out->tee;
    report->progress = true;
    out->volume = PlainText(Base(record.device));
    const std::string name = VolumeName(record, KnownLetters(options.record));
    report->tee->line(out, "");
    report->tee->line(out, "== " + name);
    if (!read) {
        report->tee->line(out, "qfscan: " + PlainText(options.record) + ": the volume's record cannot be read: " +
                                   std::strerror(errno));
        return false;
    }
    struct stat info {};
    if (!record.scan || record.mount.empty() || record.mount[0] != '/' || stat(record.mount.c_str(), &info) != 0 ||
        !S_ISDIR(info.st_mode)) {
        report->tee->line(out, "qfscan: this volume is not mounted for a scan; nothing was scanned");
        return false;
    }
    run->root = record.mount;
    while (run->root.size() > 1 && run->root.back() == '/')
        run->root.pop_back();
    out->mountShown = PlainText(run->root + "/");
    run->clean = options.cleanPass && record.writable;
    run->system = !WindowsFolders(run->root).empty();
    if (options.cleanPass && !record.writable)
        report->tee->line(out, "This volume may not be changed (" + PlainText(record.readonlyWhy) + "): checking only.");
    report->tee->line(out, run->system ? (run->clean ? "A Windows system: cleaning its registry and files..."
                                                     : "A Windows system: checking its registry and files...")
                                       : (run->clean ? "A data volume: scanning its files and deleting infected ones..."
                                                     : "A data volume: scanning its files..."));
    out->startMs = MonotonicMs();
    out->serialMs = out->startMs;
    {
        std::lock_guard<std::mutex> hold(out->lock);
        ShowProgress(out, out->startMs);
    }
    out->ticker = std::thread(Tick, out);
    return true;
}

int RescueVolumeEnd(const RescueOptions& options, Report* report, RescueVolumeRun* run, bool repairRefused)
{
    Outputs* out = static_cast<Outputs*>(run->outputs);
    const int exitCode = run->root.empty() ? kExitError : ReportExitCode(*report);
    VolumeResult result{};
    result.present = true;
    result.exitCode = exitCode;
    result.clean = run->clean;
    result.system = run->system;
    result.repairRefused = repairRefused;
    result.wormFound = report->wormFound;
    const ScanCounts& c = report->counts;
    result.directories = c.directories;
    result.files = c.files;
    result.infected = c.infected;
    result.deleted = c.deleted;
    result.skipped = c.skipped;
    result.notHandled = report->counts.unhandled;
    result.changesDone = run->clean ? report->changesDone : 0;
    result.changesPlanned = run->clean ? 0 : report->changesDone;
    result.changesFailed = report->changesFailed;
    result.stopped = report->stopped || report->broken;
    result.toDo = !run->clean && (c.infected > 0 || report->changesDone > 0 || report->wormFound);
    if (run->system)
        result.letters = SystemLetters(run->root);
    bool written = WriteResult(options.record, result);
    if (out != nullptr) {
        if (!written && out->tee.line != nullptr)
            TeeLine(out, "qfscan: the volume's result could not be written: " + std::string(std::strerror(errno)));
        CloseOutputs(out);
    }
    run->outputs = nullptr;
    return written ? exitCode : kExitError;
}

namespace {

// Waits for Enter or space on the keyboard or the serial line; false when neither can give one.
// A source that has ended is set to -1 (it stays open for its owner to close).
bool WaitForKey(int* keys, int* serial)
{
    pollfd fds[2] = {{*keys, POLLIN, 0}, {*serial, POLLIN, 0}};
    for (;;) {
        if (*keys < 0 && *serial < 0)
            return false;
        fds[0].fd = *keys;
        fds[1].fd = *serial;
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char key = 0;
            const ssize_t got = read(fds[i].fd, &key, 1);
            if (got == 1 && (key == '\n' || key == '\r' || key == ' '))
                return true;
            if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN) || (fds[i].revents & (POLLHUP | POLLERR | POLLNVAL)))
                *(i == 0 ? keys : serial) = -1;  // an end: no more keys from there
        }
    }
}

// A terminal that gives each key as it is typed, unseen; restored by RestoreKeys.
bool RawKeys(int fd, termios* saved)
{
    if (fd < 0 || !isatty(fd) || tcgetattr(fd, saved) != 0)
        return false;
    termios raw = *saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSANOW, &raw) == 0;
}

std::vector<SummaryVolume> ReadVolumes(const std::string& folder)
{
    std::vector<std::pair<int, std::string>> names;
    if (DIR* dir = opendir(folder.c_str())) {
        while (const dirent* item = readdir(dir)) {
            const std::string name = item->d_name;
            if (!name.empty() && name.size() <= 3 && name.find_first_not_of("0123456789") == std::string::npos)
                names.emplace_back(std::stoi(name), name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    std::vector<SummaryVolume> volumes;
    for (const auto& name : names) {
        std::string text;
        SummaryVolume volume{};
        if (!ReadFile(folder + "/" + name.second, &text))
            continue;
        volume.record = ParseVolumeRecord(text);
        if (ReadFile(folder + "/" + name.second + ".result", &text))
            volume.result = ParseVolumeResult(text);
        volumes.push_back(volume);
    }
    return volumes;
}

}  // namespace

int RescueSummary(const RescueOptions& options)
{
    const Summary summary = ComposeSummary(ReadVolumes(options.folder), options.cleanMode, options.reportsAt);
    const int screen = OpenDevice(options.screen, O_WRONLY);
    const int serialOut = OpenDevice(options.serial, O_WRONLY | O_NONBLOCK);
    const int report = OpenDevice(options.report, O_WRONLY);
    bool kept = options.report.empty() || report >= 0;
    std::string whole;
    for (const std::string& line : summary.lines)
        whole += line + "\n";
    kept = kept && (report < 0 || WriteAll(report, "\n" + whole));
    WriteAll(serialOut, "\n" + whole);

    size_t width = 80, height = 25;
    ScreenSize(screen, &width, &height);
    const std::vector<std::string> rows = WrapLines(summary.lines, width);
    const size_t page = PageRows(height);
    // "none": nobody waits at the screen (a run that powers off by itself), so no page waits.
    const bool unattended = options.keys == "none";
    int keys = unattended ? -1 : OpenDevice(options.keys, O_RDONLY);
    int serialIn = unattended ? -1 : OpenDevice(options.serial, O_RDONLY | O_NONBLOCK);
    if (serialIn >= 0 && !isatty(serialIn)) {  // a capture file, not a line anyone types on
        close(serialIn);
        serialIn = -1;
    }
    termios keysSaved{}, serialSaved{};
    const bool keysRaw = RawKeys(keys, &keysSaved), serialRaw = RawKeys(serialIn, &serialSaved);
    const bool terminal = screen >= 0 && isatty(screen);
    const size_t pages = (rows.size() + page - 1) / page;
    int keysLeft = keys, serialLeft = serialIn;
    for (size_t first = 0, number = 1; first < rows.size(); first += page, ++number) {
        std::string shown = terminal ? "\033[2J\033[H" : "";
        for (size_t i = first; i < std::min(rows.size(), first + page); ++i)
            shown += rows[i] + "\n";
        WriteAll(screen, shown);
        if (first + page >= rows.size())
            break;
        char prompt[96];
        std::snprintf(prompt, sizeof prompt, "-- Page %zu of %zu: press Enter or space for the next --", number, pages);
        WriteAll(screen, prompt);
        WriteAll(serialOut, std::string(prompt) + "\n");
        WaitForKey(&keysLeft, &serialLeft);  // when nobody can answer, the rest follows at once
        WriteAll(screen, "\n");
    }
    if (keysRaw)
        tcsetattr(keys, TCSANOW, &keysSaved);
    if (serialRaw)
        tcsetattr(serialIn, TCSANOW, &serialSaved);
    for (int fd : {screen, serialOut, report, keys, serialIn})
        if (fd >= 0)
            close(fd);
    if (!kept) {
        ConsoleWrite(stderr, "qfscan: --report " + PlainText(options.report) + ": the summary could not be written\n");
        return kExitError;
    }
    return summary.exitCode;
}
