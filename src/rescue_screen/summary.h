// The rescue's summary: every volume named as its owner knows it, its verdict and what to do
// next, the PC's verdict on top; wrapped to the console's width and paged to its height.
// Portable: the front end (rescue_posix.cpp) reads the records and shows the lines.
//
// Every value from a record goes through the plain output's escapes (PlainText), so no label,
// name or detail can start a line or send a control byte. Each volume takes three lines, each of
// which may wrap (continuation lines are indented deeper): its name, its verdict (the one line
// that says what was found, with its counts), and "Next:" with what to do.
#pragma once

#include <string>
#include <vector>

#include "rescue_screen/records.h"

struct SummaryVolume {
    VolumeRecord record;
    VolumeResult result;  // .present false when the volume has none
};

struct Summary {
    std::vector<std::string> lines;  // not wrapped
    int exitCode;                    // the worst of the volumes', as qfscan's exit codes go
};

// Whether a volume of this record can hold Windows programs: all but Linux, swap and empty
// ones. The PC reads clean only when every such volume was scanned.
bool HoldsWindowsPrograms(const VolumeRecord& record);

// The name of a volume: its drive letter (from the first system's map that names it), its label,
// size and file system, and the kernel's name last.
std::string VolumeName(const VolumeRecord& record, const std::vector<DriveLetter>& letters);

// The summary of a run; clean: the run was in clean mode. reportsAt: where the report is kept,
// as the init words it (may be empty).
Summary ComposeSummary(const std::vector<SummaryVolume>& volumes, bool clean, const std::string& reportsAt);

// Columns a text takes on a console (East Asian wide characters take two).
size_t DisplayWidth(const std::string& text);
// line cut into rows of at most width columns, at spaces where it can be, never inside a
// character; the rows after the first start with indent spaces more than the line's own.
std::vector<std::string> WrapLine(const std::string& line, size_t width, size_t indent = 2);
// The rows of lines, wrapped to width.
std::vector<std::string> WrapLines(const std::vector<std::string>& lines, size_t width);
// How many rows each page shows on a screen of height rows: all of them but the last, which
// holds the prompt for the next page (or the init's last line).
size_t PageRows(size_t height);
