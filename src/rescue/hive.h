// A registry hive file of an offline Windows system, read and written with libhivex, and kept
// safe the way a database is:
// - a hive that its system did not close cleanly (sequence numbers that differ, or transaction
//   logs that hold changes not yet in it) is never written;
// - before the first change the hive is copied next to itself (<hive>.qfbak, never over an older
//   backup);
// - the changed hive is written to a new file, flushed, checked, and then takes the hive's place
//   in one rename, so a crash at any moment leaves the old hive or the new one, never a mix.
#pragma once

#include <hivex.h>

#include <cstdint>
#include <string>
#include <vector>

struct HiveValue {
    std::string name;   // UTF-8
    int type;           // REG_* number
    std::string data;   // the raw bytes
};

struct Hive {
    std::string path;     // the hive file on the volume
    std::string label;    // how reports name it: its path below the volume's root
    hive_h* handle;
    bool writable;
    bool changed;         // values were changed in memory since it was opened
};

// Opens the hive at path (read-only unless writable). False, with *why saying what is wrong
// with the file, when it is missing, is no hive, is cut short, or (checked always, so that a dry
// run says what a real one would meet) was not closed cleanly by its system.
bool OpenHive(const std::string& path, const std::string& label, bool writable, Hive* hive, std::string* why);
void CloseHive(Hive* hive);

// The values of the key at keyPath ("Microsoft\Windows\CurrentVersion\Run", parts matched with
// letter case ignored); false when there is no such key.
bool ReadValues(const Hive& hive, const std::string& keyPath, std::vector<HiveValue>* values);

// Replaces the key's values by values, in memory; false when it cannot be done safely.
bool WriteValues(Hive* hive, const std::string& keyPath, const std::vector<HiveValue>& values, std::string* why);

// Writes the changes to the hive file by the safe steps above; false, with *why, when a step
// failed (then the hive file is as it was).
bool CommitHive(Hive* hive, std::string* why);

// REG_SZ data (UTF-16LE with its NUL) for UTF-8 text, and UTF-8 text from REG_SZ data (up to
// its first NUL); false for data that is no UTF-16 text.
std::string ToRegistryText(const std::string& utf8);
bool FromRegistryText(const std::string& data, std::string* utf8);

constexpr int kRegSz = 1;
constexpr int kRegExpandSz = 2;
