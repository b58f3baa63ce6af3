// The offline repair: find the system, plan every change, then make them.
#include "rescue/repair_linux.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "cleanup/cleanup_rules.h"
#include "fs/file_system.h"
#include "quarantine/quarantine.h"
#include "rescue/environment.h"
#include "rescue/hive_linux.h"
#include "rescue/volume_linux.h"
#include "scan/file_outcome.h"
#include "scan/scan_text.h"
#include "text/unicode.h"
#include "text/windows_names.h"

namespace {

const char kRunKey[] = "Microsoft\\Windows\\CurrentVersion\\Run";
const char kWinlogonKey[] = "Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
const char kWow[] = "Wow6432Node\\";
const char kCurrentVersionNt[] = "Microsoft\\Windows NT\\CurrentVersion";
const char kProfileList[] = "Microsoft\\Windows NT\\CurrentVersion\\ProfileList";

struct System {
    Volume volume;
    std::string windowsFolder;  // on the volume
    std::string systemRoot;     // as the system names it: "C:\WINDOWS"
    bool wow64;                 // a 64-bit system: 32-bit programs see SysWOW64 as system32
    std::vector<EnvironmentVariable> environment;
};

struct HiveWork {
    Hive hive;
    std::vector<EnvironmentVariable> environment;
    std::vector<size_t> changes;  // the result's changes that stand or fall with this hive's commit
};

// A Run value's program found infected, held open from its test to its disposal, so that what
// goes is the file tested: another put at its name meanwhile stays.
struct TestedFile {
    explicit TestedFile(const std::string& at) : path(at) {}
    ~TestedFile()
    {
        if (open)
            FsClose(&file);
    }
    TestedFile(const TestedFile&) = delete;
    TestedFile& operator=(const TestedFile&) = delete;
    const std::string path;  // the file keeps a pointer into it
    FsFile file{};
    bool open = false;
    int error = 0;  // why it could not be read
};

// Tests a Run value's program, whatever its type; an infected one stays open for its disposal.
FileVerdict TestRunProgram(TestedFile* tested)
{
    if (!FsOpenFile(tested->path.c_str(), &tested->file)) {
        tested->error = FsLastError();
        return FileVerdict::Unreadable;
    }
    const FileRequest request{Examination::Program, nullptr, tested->path.c_str(), kRunProgramWhy, nullptr, 0};
    const FileOutcome outcome = TestAndDispose(&tested->file, request, {Disposal::Leave, nullptr, false, true});
    tested->open = outcome.check.verdict == FileVerdict::Infected;
    tested->error = outcome.check.error;
    if (!tested->open)
        FsClose(&tested->file);
    return outcome.check.verdict;
}

// A program or dropped file to delete (or move) once the hives are written.
struct FileWork {
    std::string windowsPath;
    std::string path;
    const char* what;
    std::shared_ptr<TestedFile> tested;  // a Run value's program; a dropped file is known by its name
};

struct Plan {
    const RescueRequest* request;
    RescueResult* result;
    System system;
    std::vector<HiveWork> hives;  // SOFTWARE first, then the users'
    std::vector<FileWork> files;
};

std::string Label(const System& system, const std::string& path)
{
    return path.substr(system.volume.root.size() + 1);
}

void Skip(Plan* plan, const std::string& place, const std::string& why)
{
    plan->result->skipped.emplace_back(place, why);
}

// A text value's text (REG_EXPAND_SZ expanded), or false when the value holds no text.
bool ValueText(const HiveValue& value, const std::vector<EnvironmentVariable>& environment, std::string* text)
{
    if ((value.type != kRegSz && value.type != kRegExpandSz) || !FromRegistryText(value.data, text))
        return false;
    if (value.type == kRegExpandSz)
        *text = ExpandReferences(*text, environment);
    return true;
}

const HiveValue* FindValue(const std::vector<HiveValue>& values, const char* name)
{
    for (const HiveValue& value : values)
        if (SameName(value.name, name))
            return &value;
    return nullptr;
}

// A path as a 32-bit program of the system sees it: its system32 is SysWOW64.
std::string AsWow(const System& system, const std::string& path)
{
    const std::string system32 = system.systemRoot + "\\system32\\";
    if (!system.wow64 || path.size() < system32.size() || !SameName(path.substr(0, system32.size()), system32))
        return path;
    return system.systemRoot + "\\SysWOW64\\" + path.substr(system32.size());
}

// Finds the program a Run value's path names, as a logon would: an absolute path stands, a bare
// name is looked for in the system folder and the Windows folder.
Lookup FindProgram(const System& system, const std::string& program, bool wowView, std::string* windowsPath,
                   std::string* path, std::string* why)
{
    switch (ClassifyProgramPath(program.c_str())) {
    case ProgramPathForm::Relative:
        *why = "a path relative to a folder that only a running system knows";
        return Lookup::Refused;
    case ProgramPathForm::Absolute:
        *windowsPath = wowView ? AsWow(system, program) : program;
        return FindWindowsPath(system.volume, *windowsPath, true, path, why);
    case ProgramPathForm::BareName:
        break;
    }
    const std::string systemFolder = system.systemRoot + (wowView && system.wow64 ? "\\SysWOW64" : "\\system32");
    char place[kProgramPathCapacity];
    for (size_t index = 0;; ++index) {
        const SearchStep step = ProgramSearchPlace(program.c_str(), systemFolder.c_str(), system.systemRoot.c_str(),
                                                   "", index, place, sizeof place);
        if (step == SearchStep::End)
            return Lookup::Missing;
        *windowsPath = place;
        if (step == SearchStep::Built && FindWindowsPath(system.volume, place, true, path, why) == Lookup::Found)
            return Lookup::Found;
    }
}

// The program of a Run value's text, as a logon finds it: each candidate in turn until one is
// found or refused; derived gets the last one tried. False when no candidate fits a path.
bool FindRunProgram(const System& system, const std::string& text, bool wowView, char* derived, Lookup* lookup,
                    std::string* windowsPath, std::string* path, std::string* why)
{
    bool fits = false;
    for (size_t index = 0;; ++index) {
        const SearchStep step = ProgramPathCandidate(text.data(), text.size(), index, derived, kProgramPathCapacity);
        if (step == SearchStep::End)
            return fits;
        if (step != SearchStep::Built)
            continue;
        fits = true;
        *lookup = FindProgram(system, derived, wowView, windowsPath, path, why);
        if (*lookup != Lookup::Missing)
            return true;
    }
}

void PlanFile(Plan* plan, const std::string& windowsPath, const std::string& path, const char* what,
              const std::shared_ptr<TestedFile>& tested = nullptr)
{
    for (const FileWork& file : plan->files)
        if (file.path == path)
            return;
    plan->files.push_back({windowsPath, path, what, tested});
}

// A change of a hive: done (or, dry, doable) only once the hive is committed.
void AddHiveChange(Plan* plan, HiveWork* work, const std::string& place, const std::string& change, bool queued,
                   const std::string& why)
{
    if (queued)
        work->changes.push_back(plan->result->changes.size());
    plan->result->changes.push_back({place, change, false, queued ? "" : why});
}

// The values of one Run key whose programs are infected go, and their programs after them.
void PlanRunKey(Plan* plan, HiveWork* work, const std::string& key, bool wowView)
{
    std::vector<HiveValue> values, kept;
    if (!ReadValues(work->hive, key, &values))
        return;
    const std::string place = work->hive.label + ":" + key;
    std::vector<std::string> removed;
    for (const HiveValue& value : values) {
        const std::string name = place + "\\\"" + value.name + "\"";
        std::string text, program, windowsPath, path, why;
        char derived[kProgramPathCapacity];
        Lookup lookup = Lookup::Missing;
        if (!ValueText(value, work->environment, &text)) {
            Skip(plan, name, "a value of type " + std::to_string(value.type) + " and " + std::to_string(value.data.size()) +
                                 " bytes, which names no program");
        } else if (!text.empty() && !FindRunProgram(plan->system, text, wowView, derived, &lookup, &windowsPath, &path, &why)) {
            Skip(plan, name, "no program path that fits");
        } else if (!text.empty()) {
            switch (lookup) {
            case Lookup::Refused: Skip(plan, name, std::string(derived) + ": " + why); break;
            case Lookup::Missing: break;  // names no file: nothing of the worm
            case Lookup::Found: {
                auto tested = std::make_shared<TestedFile>(path);
                const FileVerdict verdict = TestRunProgram(tested.get());
                if (verdict == FileVerdict::Unreadable) {
                    Skip(plan, windowsPath, "cannot be read: " + std::string(std::strerror(tested->error)));
                } else if (verdict == FileVerdict::Infected) {
                    removed.push_back("value \"" + value.name + "\" deleted: it starts " + windowsPath +
                                      ", which is infected");
                    PlanFile(plan, windowsPath, path, kRunProgramWhy, tested);
                    continue;
                }
                break;
            }
            }
        }
        kept.push_back(value);
    }
    if (removed.empty())
        return;
    plan->result->outcome = 1;
    std::string why;
    const bool queued = WriteValues(&work->hive, key, kept, &why);
    for (const std::string& change : removed)
        AddHiveChange(plan, work, place, change, queued, why);
}

// Userinit back to the system's own logon program. The same path in another letter case, with
// or without Windows' own trailing comma, is already right.
void PlanUserinit(Plan* plan, HiveWork* work, const std::string& key, bool onlyIfPresent)
{
    std::vector<HiveValue> values;
    if (!ReadValues(work->hive, key, &values))
        return;
    const std::string logon = plan->system.systemRoot + "\\system32\\userinit.exe";
    const HiveValue* userinit = FindValue(values, "Userinit");
    std::string current;
    if (userinit == nullptr && onlyIfPresent)
        return;
    if (userinit != nullptr && ValueText(*userinit, {}, &current)) {
        if (!current.empty() && current.back() == ',')
            current.pop_back();
        if (SameName(current, logon))
            return;
    }
    HiveValue written{"Userinit", kRegSz, {}};
    if (!ToRegistryText(logon, &written.data)) {
        Skip(plan, key, "the Windows folder's name is no UTF-8");
        return;
    }
    std::vector<HiveValue> changed = values;
    bool replaced = false;
    for (HiveValue& value : changed) {
        if (SameName(value.name, "Userinit")) {
            value = written;
            replaced = true;
        }
    }
    if (!replaced)
        changed.push_back(written);
    std::string why, change = "Userinit set to \"" + logon + "\"";
    if (userinit != nullptr)
        change += " (was \"" + (ValueText(*userinit, {}, &current) ? current : std::string("not text")) + "\")";
    const bool queued = WriteValues(&work->hive, key, changed, &why);
    AddHiveChange(plan, work, work->hive.label + ":" + key, change, queued, why);
}

void PlanDroppedFiles(Plan* plan)
{
    const System& system = plan->system;
    for (size_t index = 0; index < kDroppedFileCount; ++index) {
        char target[kProgramPathCapacity];
        if (!DroppedFilePath(system.systemRoot.c_str(), index, target, sizeof target))
            continue;
        // A 32-bit worm on a 64-bit system left its system32 file in SysWOW64.
        for (const std::string& windowsPath : {std::string(target), AsWow(system, target)}) {
            std::string path, why;
            if (FindWindowsPath(system.volume, windowsPath, true, &path, &why) == Lookup::Found) {
                PlanFile(plan, windowsPath, path, kDroppedFileWhy);
                plan->result->outcome = 1;
            }
        }
    }
}

// Whether SystemRoot ("C:\WINDOWS") names the folder name at the root of its drive.
bool NamesFolder(const std::string& systemRoot, const std::string& name)
{
    return systemRoot.size() >= 4 && systemRoot[1] == ':' && systemRoot[2] == '\\' &&
           SameName(systemRoot.substr(3), name);
}

std::string SystemRootOf(const Hive& software)
{
    std::vector<HiveValue> values;
    ReadValues(software, kCurrentVersionNt, &values);
    const HiveValue* root = FindValue(values, "SystemRoot");
    std::string text;
    return root != nullptr && ValueText(*root, {}, &text) ? text : std::string();
}

// The system on the volume: its Windows folder, one below the root that holds
// System32\config\SOFTWARE and that this SOFTWARE names as SystemRoot (a copy's, Windows.bak's,
// names the folder it was copied from), and what SOFTWARE says of it. Where that leaves more
// than one, request.windows picks one.
bool FindSystem(Plan* plan, std::string* error)
{
    System& system = plan->system;
    const std::string& chosen = plan->request->windows;
    std::vector<std::string> folders;
    std::string path, why;
    for (const std::string& folder : WindowsFolders(system.volume.root))
        if (chosen.empty() || SameName(folder, chosen))
            folders.push_back(folder);
    if (folders.empty()) {
        *error = system.volume.root + (chosen.empty() ? std::string(": not a Windows system volume")
                                                      : ": no Windows folder " + chosen + " here") +
                 " (no folder with System32\\config\\SOFTWARE)";
        return false;
    }
    const std::string pick = folders.size() > 1 ? "; pick the system with --windows DIR" : "";
    std::vector<std::string> own;  // the folders whose SOFTWARE names them
    std::string names, software, text;
    Hive hive{};
    for (const std::string& folder : folders) {
        FindOnVolume(system.volume, folder + "/System32/config/SOFTWARE", true, &path, &why);
        Hive opened;
        if (!OpenHive(path, Label(system, path), &opened, &why)) {
            CloseHive(&hive);
            *error = Label(system, path) + ": " + why + pick;
            return false;
        }
        const std::string root = SystemRootOf(opened);
        names += (names.empty() ? "" : ", ") + folder;
        if (NamesFolder(root, folder)) {
            own.push_back(folder);
            if (own.size() == 1) {
                hive = opened;
                software = path;
                text = root;
                continue;
            }
        }
        CloseHive(&opened);
    }
    if (own.size() != 1) {
        CloseHive(&hive);
        const std::string named = " is the one its own SOFTWARE names as SystemRoot";
        if (folders.size() == 1)
            *error = Label(system, path) + ": SystemRoot does not name the folder " + folders[0] + " it lies in";
        else if (own.empty())
            *error = system.volume.root + ": none of the Windows folders " + names + named;
        else
            *error = system.volume.root + ": more than one Windows folder (" + names + ")" + named + pick;
        return false;
    }
    plan->hives.push_back({});
    plan->hives[0].hive = hive;
    system.windowsFolder = software.substr(0, software.size() - std::string("/System32/config/SOFTWARE").size());
    const std::string name = system.windowsFolder.substr(system.windowsFolder.rfind('/') + 1);
    std::vector<HiveValue> values;
    system.systemRoot = text;
    system.volume.drive = AsciiUpper(text[0]);
    system.wow64 = FindOnVolume(system.volume, name + "/SysWOW64", false, &path, &why) == Lookup::Found;
    const std::string drive = text.substr(0, 2);
    system.environment = {{"SystemRoot", text}, {"windir", text}, {"SystemDrive", drive}};
    ReadValues(plan->hives[0].hive, "Microsoft\\Windows\\CurrentVersion", &values);
    const std::pair<const char*, const char*> programFolders[] = {
        {"ProgramFiles", "ProgramFilesDir"}, {"ProgramFiles(x86)", "ProgramFilesDir (x86)"},
        {"CommonProgramFiles", "CommonFilesDir"}, {"CommonProgramFiles(x86)", "CommonFilesDir (x86)"}};
    for (const auto& folder : programFolders)
        if (const HiveValue* value = FindValue(values, folder.second))
            if (ValueText(*value, system.environment, &text))
                system.environment.push_back({folder.first, text});
    ReadValues(plan->hives[0].hive, kProfileList, &values);
    if (const HiveValue* value = FindValue(values, "ProgramData"))
        if (ValueText(*value, system.environment, &text))
            system.environment.insert(system.environment.end(), {{"ProgramData", text}, {"ALLUSERSPROFILE", text}});
    plan->hives[0].environment = system.environment;
    return true;
}

// A profile folder as its system names it ("C:\Users\alice"), and whose it is.
struct Profile {
    std::string user;
    std::string windowsPath;
};

std::string LastName(const std::string& windowsPath)
{
    const std::string path = windowsPath.substr(0, windowsPath.find_last_not_of('\\') + 1);
    return path.substr(path.find_last_of('\\') + 1);
}

// The profiles as Windows finds them: each ProfileList entry names its user's folder, wherever it
// lies; then every folder in the profiles folders (ProfilesDirectory, Users, Documents and
// Settings), so that a damaged or incomplete ProfileList hides nobody.
std::vector<Profile> ListProfiles(Plan* plan)
{
    const System& system = plan->system;
    const Hive& software = plan->hives[0].hive;
    std::vector<Profile> profiles;
    std::vector<std::string> sids, tops;
    std::vector<HiveValue> values;
    std::string text;
    ReadSubkeys(software, kProfileList, &sids);
    for (const std::string& sid : sids) {
        ReadValues(software, std::string(kProfileList) + "\\" + sid, &values);
        if (const HiveValue* value = FindValue(values, "ProfileImagePath"))
            if (ValueText(*value, system.environment, &text) && !text.empty())
                profiles.push_back({LastName(text), text});
    }
    ReadValues(software, kProfileList, &values);
    if (const HiveValue* value = FindValue(values, "ProfilesDirectory"))
        if (ValueText(*value, system.environment, &text) && !text.empty())
            tops.push_back(text);
    tops.push_back(system.systemRoot.substr(0, 3) + "Users");
    tops.push_back(system.systemRoot.substr(0, 3) + "Documents and Settings");
    std::vector<std::string> seen;
    for (size_t i = 0; i < tops.size(); ++i) {
        const std::string& top = tops[i];
        std::string folder, why;
        if (std::any_of(tops.begin(), tops.begin() + i, [&](const std::string& other) { return SameName(other, top); }))
            continue;  // ProfilesDirectory is one of the others, as it mostly is
        const Lookup found = FindWindowsPath(system.volume, top, false, &folder, &why);
        if (found == Lookup::Refused) {
            Skip(plan, top, why + "; the profiles in it were not checked");
            continue;
        }
        if (found != Lookup::Found || std::find(seen.begin(), seen.end(), folder) != seen.end())
            continue;
        seen.push_back(folder);
        for (const std::string& name : SubFolders(folder, true))
            profiles.push_back({name, top + "\\" + name});
    }
    return profiles;
}

// Every user's NTUSER.DAT, once each, however many ways lead to its folder.
bool OpenUserHives(Plan* plan, std::string* error)
{
    const System& system = plan->system;
    std::vector<std::string> seen;  // the profile folders, links resolved
    for (const Profile& profile : ListProfiles(plan)) {
        std::string folder, hivePath, why;
        const std::string unchecked = "; the Run key of user " + profile.user + " was not checked";
        const Lookup place = FindWindowsPath(system.volume, profile.windowsPath, false, &folder, &why);
        if (place == Lookup::Refused)
            Skip(plan, profile.windowsPath, why + unchecked);
        if (place != Lookup::Found || std::find(seen.begin(), seen.end(), folder) != seen.end())
            continue;  // no folder there: no hive to check
        seen.push_back(folder);
        const std::string hiveLabel = Label(system, folder) + "/NTUSER.DAT";
        const Lookup found = FindOnVolume(system.volume, hiveLabel, true, &hivePath, &why);
        if (found != Lookup::Found) {
            // A folder, a link or a FIFO in the hive's place hides that user's Run key.
            if (found == Lookup::Refused || why != "not found")
                Skip(plan, hiveLabel, why + unchecked);
            continue;
        }
        HiveWork work;
        if (!OpenHive(hivePath, Label(system, hivePath), &work.hive, &why)) {
            *error = Label(system, hivePath) + ": " + why;
            return false;
        }
        work.environment = system.environment;
        work.environment.push_back({"USERPROFILE", profile.windowsPath});
        plan->hives.push_back(work);
    }
    return true;
}

// Where every file the rescue takes away goes, by the run's policy: moved into the quarantine,
// else deleted. The one place that touches such a file, so that it goes as the online scan's do:
// a Run value's program through the handle it was tested by, a dropped file (known by its name)
// opened here. Moved, it goes into the quarantine, recorded as what it is. *target gets where it
// was moved; *why why it could not go.
bool DisposeRescueFile(const FileWork& work, const DisposalPolicy& policy, std::string* target, std::string* why)
{
    char moved[kFsPathCapacity];
    char reason[256];
    FsFile opened;
    FsFile* file = &opened;
    int error = 0;
    if (work.tested != nullptr && work.tested->open) {
        file = &work.tested->file;
        work.tested->open = false;  // the disposal closes it
    } else if (work.tested != nullptr || !FsOpenFile(work.path.c_str(), &opened)) {
        file = nullptr;
        error = FsLastError();
    }
    if (file != nullptr) {
        const FileRequest request{Examination::Known, nullptr, work.path.c_str(), work.what, moved, sizeof moved};
        const FileOutcome outcome = TestAndDispose(file, request, policy);
        FsClose(file);
        if (OutcomeGone(outcome)) {
            *target = policy.action == Disposal::Move ? moved : "";
            return true;
        }
        error = outcome.error;
    }
    FsErrorText(error, reason, sizeof reason);
    *why = reason;
    return false;
}

// Every hive is committed (in a dry run, to a scratch file) before a change of it counts as
// done; then the files go.
void MakeChanges(Plan* plan)
{
    const DisposalPolicy& policy = plan->request->policy;
    const bool dry = !PolicyChanges(policy);
    for (HiveWork& work : plan->hives) {
        std::string why;
        const bool committed = work.hive.pending.empty() || CommitHive(&work.hive, dry, &why);
        for (const size_t index : work.changes) {
            RescueChange& change = plan->result->changes[index];
            change.done = committed;
            if (!committed)
                change.error = why;
        }
    }
    // The quarantine's index keeps the hive changes beside the files taken.
    const bool moving = policy.action == Disposal::Move;
    for (size_t i = 0; !dry && moving && i < plan->result->changes.size(); ++i) {
        RescueChange& change = plan->result->changes[i];
        if (!QuarantineNoteChange(policy.moveFolder, change.place, change.change, change.done) && change.done)
            change.error = "made, but not recorded in the quarantine's index";
    }
    for (const FileWork& file : plan->files) {
        std::string target, why;
        const bool done = dry || DisposeRescueFile(file, policy, &target, &why);
        const Handling handling = moving ? Handling::Moved : Handling::Deleted;
        const std::string change = file.what + std::string(HandlingText(handling, !target.empty())) + target;
        plan->result->changes.push_back({file.windowsPath, change, done, why});
    }
}

}  // namespace

bool RepairOfflineSystem(const RescueRequest& request, RescueResult* result, std::string* error)
{
    *result = RescueResult{};
    Plan plan{&request, result, {{request.root, 0}, "", "", false, {}}, {}, {}};
    const bool readable = FindSystem(&plan, error) && OpenUserHives(&plan, error);
    if (readable) {
        result->system = "Windows folder " + Label(plan.system, plan.system.windowsFolder) + " (" +
                         plan.system.systemRoot + (plan.system.wow64 ? ", 64-bit" : "") + "), " +
                         std::to_string(plan.hives.size() - 1) + " user hive(s)";
        HiveWork& software = plan.hives[0];
        PlanRunKey(&plan, &software, kRunKey, false);
        PlanRunKey(&plan, &software, kWow + std::string(kRunKey), true);
        for (size_t i = 1; i < plan.hives.size(); ++i)
            PlanRunKey(&plan, &plan.hives[i], std::string("Software\\") + kRunKey, false);
        PlanUserinit(&plan, &software, kWinlogonKey, false);
        PlanUserinit(&plan, &software, kWow + std::string(kWinlogonKey), true);
        PlanDroppedFiles(&plan);
        MakeChanges(&plan);
    }
    for (HiveWork& work : plan.hives)
        CloseHive(&work.hive);
    return readable;
}

bool OfflineFound(const RescueResult& result)
{
    return result.outcome != 0 || !result.changes.empty();
}

OfflineOutcome DecideOfflineOutcome(const RescueResult& result, bool dry)
{
    bool allDone = true;
    for (const RescueChange& change : result.changes)
        allDone &= change.done;
    if (!OfflineFound(result))
        return result.skipped.empty() ? OfflineOutcome::Clean : OfflineOutcome::Unchecked;
    if (!allDone || !result.skipped.empty())
        return OfflineOutcome::Incomplete;
    return dry ? OfflineOutcome::Unchanged : OfflineOutcome::Disabled;
}

const char* OfflineVerdict(OfflineOutcome outcome)
{
    // The console's own words: no window status line, and the scan follows by itself.
    switch (outcome) {
    case OfflineOutcome::Clean: return "No Zaverin found on this system.";
    case OfflineOutcome::Unchecked: return "No Zaverin found on this system, but not everything could be checked.";
    case OfflineOutcome::Disabled: return "Zaverin found on this system, and has been disabled.";
    case OfflineOutcome::Unchanged: return "Zaverin found on this system; nothing was changed.";
    case OfflineOutcome::Incomplete:
        return "Zaverin found on this system; not everything could be checked or changed, so it may still run.";
    }
    return "";
}

std::vector<std::string> WindowsFolders(const std::string& root)
{
    const Volume volume{root, 0};
    std::vector<std::string> folders;
    std::string path, why;
    for (const std::string& folder : SubFolders(root))
        if (FindOnVolume(volume, folder + "/System32/config/SOFTWARE", true, &path, &why) == Lookup::Found)
            folders.push_back(folder);
    return folders;
}

bool ReadMountedDevices(const std::string& root, const std::string& folder,
                        std::vector<std::pair<std::string, std::string>>* values, std::string* why)
{
    const Volume volume{root, 0};
    std::string path;
    values->clear();
    if (FindOnVolume(volume, folder + "/System32/config/SYSTEM", true, &path, why) != Lookup::Found)
        return false;
    Hive hive;
    if (!OpenHive(path, path.substr(root.size() + 1), &hive, why))
        return false;
    std::vector<HiveValue> read;
    const bool found = ReadValues(hive, "MountedDevices", &read);
    CloseHive(&hive);
    if (!found) {
        *why = "no MountedDevices key";
        return false;
    }
    for (const HiveValue& value : read)
        values->emplace_back(value.name, value.data);
    return true;
}
