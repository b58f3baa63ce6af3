// What the rescue's init and qfscan hand each other (docs/rescue.md): the init's record of one
// volume ($RUN/vol/NN), qfscan's result of its scan (NN.result), and the drive letters a Windows
// system gave its volumes (SYSTEM\MountedDevices). Portable: bytes and text only.
//
// Every value of a record is untrusted: a label or a detail may hold any byte but a line feed or
// a NUL. Nothing here shows a value; the screen's text is made by the summary (summary.h), through
// the plain output's escapes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A record is a few hundred bytes; anything past this is not the init's and is not read.
constexpr size_t kLargestRecord = 64 * 1024;

struct VolumeRecord {
    std::string device;        // the block device, "/dev/sda2"
    std::string disk;          // the whole disk it is on, "sda"
    uint64_t sizeBytes;        // 0 when missing or no number
    std::string fs;            // ntfs, vfat, exfat, refs, bitlocker, ldm, linux, swap, ...
    std::string fsDetail;      // FAT32, "BitLocker To Go", blkid's TYPE
    std::string label;
    std::string mbrSignature;  // 8 lower-case hex digits, or empty when the record's is none
    uint64_t offsetBytes;
    bool hasOffset;
    std::string gptGuid;       // lower case, or empty when the record's is no GUID
    bool bitlocker;            // opened through BitLocker
    bool scan;                 // state=scan (anything else is a skip)
    std::string why;           // for a skip: unknown-fs, refs, dynamic, ...
    std::string detail;
    std::string mount;         // for a scan: where it is mounted
    bool writable;             // writable=yes
    std::string readonlyWhy;   // check-mode, hibernated, not-clean, dirty, bitlocker-suspended
    bool cleanMountFailed;     // clean_mount_failed=yes: it could not be mounted read-write to clean
};

// Reads the record's lines (key=value; the value runs to the line feed, raw). Unknown keys are
// passed over, missing ones stay empty; a number or a hex value that is none counts as missing.
VolumeRecord ParseVolumeRecord(const std::string& text);

// A drive letter as a system's MountedDevices gives it: an MBR partition (disk signature and
// the partition's first byte) or a GPT partition (its unique GUID).
struct DriveLetter {
    char letter;          // 'C'
    bool gpt;
    std::string mbr;      // 8 lower-case hex digits, as the record gives the disk signature
    uint64_t offset;
    std::string guid;     // lower case, as blkid prints it
};

// One value of MountedDevices: a name "\DosDevices\C:" with 12 bytes (signature, offset) or
// "DMIO:ID:" and 16 bytes of GUID. False for every other value (volume GUIDs, the device paths
// of removable drives, data of another size).
bool DecodeMountedDevice(const std::string& name, const std::string& data, DriveLetter* letter);
// Whether letter names the partition of record.
bool LetterNames(const DriveLetter& letter, const VolumeRecord& record);

// qfscan's result of one volume, as written to NN.result: numbers and codes only.
struct VolumeResult {
    bool present;          // a result was read
    int exitCode;          // qfscan's exit code for the volume
    bool clean;            // the clean pass's result (else the check pass's)
    bool system;           // the volume holds Windows (the offline repair ran)
    bool repairRefused;    // the system's registry could not be read or written: the repair did nothing
    bool wormFound;        // the offline repair found the worm's registry entries or files
    int32_t directories, files, infected, deleted, skipped, notHandled;
    int32_t changesDone, changesPlanned, changesFailed;
    bool stopped;          // the scan did not finish
    bool toDo;             // something is to be done that only the clean pass may do
    std::vector<DriveLetter> letters;  // the system's own drive letters
};

std::string FormatVolumeResult(const VolumeResult& result);
// Reads a result; what is no number or code of a known key is passed over. A result without
// its exit code is not present.
VolumeResult ParseVolumeResult(const std::string& text);
