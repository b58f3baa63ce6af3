// The byte-level rules of the start-up cleanup, kept apart from the platform so that they build and
// are tested anywhere: which module path names the runtime library the worm loads, which program a
// Run value starts, where the worm's dropped files lie, and the two verdict texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A Windows program path as the platform's fixed buffers hold it (MAX_PATH), the NUL included.
constexpr size_t kProgramPathCapacity = 260;

// The runtime library whose presence in a process marks it as the worm's.
constexpr char kWormModuleName[] = "msvbvm60.dll";
// The executable name (letter case included) that marks a process as the worm's.
constexpr char kWormProcessName[] = "Services.exe";

// Folds both texts to upper case in place (only 'a'..'z'; other bytes, those above 127 included,
// stay) and scans path forward for runs of moduleName. Answers the length of the run that
// reached the end of path, 0 when the last position examined began no run. The scan never steps
// back: after a broken run it goes on at the character that broke it, which is itself tested as
// the start of a new run. A module matches when the answer equals moduleName's length.
uint32_t MatchModuleSuffix(char* moduleName, char* path);

// The length of the text that data holds: up to its first NUL, or all size bytes when it holds
// none (registry data need not be NUL-terminated).
size_t BoundedTextLength(const char* data, size_t size);

// Derives the program that a Run value starts from its data (size bytes, NUL or not) into path.
// Data beginning with a double quote names the text up to the closing quote, spaces included (to
// the end of the text when the quote is never closed); other data is cut at its first space.
// false, with path empty, when no path comes out or it does not fit capacity (NUL included).
bool DeriveProgramPath(const char* data, size_t size, char* path, size_t capacity);

// The files the worm drops, in the order they are deleted: three under the Windows directory
// and a copy of the runtime library at the root of the Windows directory's drive.
constexpr size_t kDroppedFileCount = 4;

// Builds the path of dropped file index (0..3) from the Windows directory into path. false when
// the path would not fit capacity (NUL included), when the Windows directory is empty, and for
// the root copy when the Windows directory is not of the form drive letter, colon, backslash.
// A trailing backslash on the Windows directory is not doubled.
bool DroppedFilePath(const char* windowsDirectory, size_t index, char* path, size_t capacity);

// What a file the cleanup takes away was, in the quarantine's index: the same words from the
// running system and from the offline repair, so that qfscan --list reads the same.
constexpr char kDroppedFileWhy[] = "file the worm drops";
constexpr char kRunProgramWhy[] = "infected program of a Run value";

// What a cleanup step answers, as bits: it met something of the worm, and a write or delete it
// had to make was refused (the worm, or the start-up settings, may be as they were).
constexpr int kCleanupFound = 1;
constexpr int kCleanupRefused = 2;

// The status text the cleanup pass ends with: the clean verdict for outcome 0, the one that says
// the worm was found and disabled for kCleanupFound, and, when anything was refused, one that
// says what could not be done.
const char* CleanupVerdict(int outcome);

// How the program path of a Run value can be found without the current directory, which the scan
// moves through the drive: an absolute path ("C:\..." or "\\server\...") stands as it is; a bare
// name ("foo.exe") is looked for where a logon looks; anything else ("dir\foo.exe", "\foo.exe",
// "C:foo.exe") depends on the current directory or drive and names nothing the cleanup may touch.
enum class ProgramPathForm { Absolute, BareName, Relative };
ProgramPathForm ClassifyProgramPath(const char* path);

enum class SearchStep {
    Built,  // out holds the next place to look
    Skip,   // that place is unusable (a relative or empty PATH entry, or too long): go on
    End,    // no places left
};

// The place with number index where a logon looks for a bare program name: the system directory,
// the Windows directory, then each folder of pathList (PATH: ';'-separated, entries possibly
// quoted) that is an absolute path. ".exe" is added to a name without an extension.
SearchStep ProgramSearchPlace(const char* name, const char* systemDirectory, const char* windowsDirectory,
                              const char* pathList, size_t index, char* out, size_t capacity);

// Candidate number index for the program that a Run value's data (size bytes, NUL or not) starts,
// tried in order as Windows tries them; the first that exists as a file is the program. Quoted
// data has one, as DeriveProgramPath gives it. Unquoted data may name a program whose path holds
// spaces, so each space from the left ends a candidate, and the whole text is the last; ".exe" is
// added to one whose last part has no extension. Skip for an empty or too long candidate; End
// past the last, and at the first that holds, past its first space, a character no name may
// hold (":\"<>|*?" or a control character).
SearchStep ProgramPathCandidate(const char* data, size_t size, size_t index, char* out, size_t capacity);

// How the programs of one registry view find their files, in the names this process must use for
// them. On 64-bit Windows a 32-bit process's system32 is SysWOW64 and its %ProgramFiles% the
// 32-bit one: it reaches a 64-bit program's system32 only through the alias "Sysnative", and
// that program's %ProgramFiles% is %ProgramW6432%. A view of the process's own kind renames
// nothing: every field is "".
struct ProgramView {
    const char* systemFolder;        // the name under the Windows directory that stands for its system32
    const char* programFiles;        // the variable that holds the view's %ProgramFiles%
    const char* commonProgramFiles;  // and its %CommonProgramFiles%
};

// text with its %ProgramFiles% and %CommonProgramFiles% references (in any letter case) renamed
// to the view's variables, for a value whose environment references are expanded.
std::string ViewReferences(const std::string& text, const ProgramView& view);

// path with the Windows directory's system32 folder at its start (in any letter case, as a whole
// name) replaced by the view's folder.
std::string ViewPath(const std::string& path, const std::string& windowsDirectory, const ProgramView& view);
