// A registry hive file of an offline Windows system, read and written with libhivex, and kept
// safe the way a database is:
// - a hive that its system did not close cleanly (sequence numbers that differ, or transaction
//   logs that hold changes not yet in it) is never written;
// - before the first change the hive is copied next to itself (<hive>.qfbak, never over an older
//   backup);
// - the changed hive is written to a new file, flushed, checked, and then takes the hive's place
//   in one rename, so a crash at any moment leaves the old hive or the new one, never a mix;
// - the new hive and the backup get the old hive's security first (its NTFS security descriptor,
//   DOS attributes, every other extended attribute, owner, mode and times; on FAT, whose files
//   have no security, the DOS attributes of the directory entry), or it is not replaced;
// - libhivex changes and writes the hive in a child process, so that a damaged hive on which
//   the library aborts costs that hive, not the run.
#pragma once

#include <hivex.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct HiveValue {
    std::string name;   // UTF-8
    int type;           // REG_* number
    std::string data;   // the raw bytes
};

struct Hive {
    std::string path;     // the hive file on the volume
    std::string label;    // how reports name it: its path below the volume's root
    hive_h* handle;       // read only: changes wait in pending until CommitHive
    std::vector<std::pair<std::string, std::vector<HiveValue>>> pending;  // key, its new values
};

// No real hive comes near this (the largest, SOFTWARE of a long-lived server, stay in the hundreds
// of megabytes); a larger file is refused before libhivex reads it whole into memory.
constexpr int64_t kLargestHive = int64_t{1} << 30;

// Opens the hive at path for reading. False, with *why saying what is wrong
// with the file, when it is missing, is no hive, is cut short, or (checked always, so that a dry
// run says what a real one would meet) was not closed cleanly by its system.
bool OpenHive(const std::string& path, const std::string& label, Hive* hive, std::string* why);
void CloseHive(Hive* hive);

// The values of the key at keyPath ("Microsoft\Windows\CurrentVersion\Run", parts matched with
// letter case ignored); false when there is no such key.
bool ReadValues(const Hive& hive, const std::string& keyPath, std::vector<HiveValue>* values);

// The names of the subkeys of the key at keyPath; false when there is no such key.
bool ReadSubkeys(const Hive& hive, const std::string& keyPath, std::vector<std::string>* names);

// Queues the key's values to be replaced by values; false when it cannot be done safely.
bool WriteValues(Hive* hive, const std::string& keyPath, const std::vector<HiveValue>& values, std::string* why);

// Writes the queued changes to the hive file by the safe steps above; false, with *why, when a
// step failed (then the hive file is as it was). A dry run makes the changes and writes them to
// a scratch file outside the volume that is then removed, so that it meets what a real run would.
bool CommitHive(Hive* hive, bool dryRun, std::string* why);

// Gives to the security of from: owner, group and mode, its extended attributes (the NTFS
// security descriptor first, the DOS attributes after), then its times. False, with *why, when
// any of it cannot be read or set.
bool CopySecurity(const std::string& from, const std::string& to, std::string* why);

// REG_SZ data (UTF-16LE with its NUL) for UTF-8 text, false for text that is no UTF-8; and UTF-8
// text from REG_SZ data (up to its first NUL), false for data that is no UTF-16 text.
bool ToRegistryText(const std::string& utf8, std::string* data);
bool FromRegistryText(const std::string& data, std::string* utf8);

constexpr int kRegSz = 1;
constexpr int kRegExpandSz = 2;
