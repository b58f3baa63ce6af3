// Names as Windows has them, decided once for every platform: when two names are the same name,
// the \\?\ form the Win32 layer hands the platform, and the names under which the NTFS drivers of
// Linux show what NTFS keeps beside a file's data. Portable, with no platform calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Whether two names are the same name to Windows: equal once NTFS's upper-casing is applied to
// each unit (UpcaseUnit), with no locale involved. Bytes that are no UTF-8 compare exactly.
bool SameName(const std::string& a, const std::string& b);

// The \\?\ form of the absolute WTF-8 path (\\?\UNC\server\share for \\server\share; a path
// already in that form as it is) in UTF-16 with the NUL, so that no length limit or name rewriting
// of the Win32 path rules applies. False when path is no WTF-8 or out (capacity units) is too
// small; *units gets the length without the NUL.
bool ToVerbatimPath(const char* path, uint16_t* out, size_t capacity, size_t* units);
// The NUL-terminated UTF-16 path as it is shown and reported: without the \\?\ that
// ToVerbatimPath puts in front (\\?\UNC\server\share becomes \\server\share, rewritten in place).
const uint16_t* WithoutVerbatimPrefix(uint16_t* path);

// The extended attributes under which Linux's NTFS drivers show a file's security, none of which
// ntfs-3g lists: its security descriptor (ntfs-3g's name, then the kernel's ntfs3's), its DOS
// attributes (three names of the same bits; one is set), and ntfs-3g's four NTFS times, which
// are set last since every other change moves them. And ntfs-3g's reparse data.
inline constexpr const char* kNtfsDescriptorAttributes[] = {"system.ntfs_acl", "system.ntfs_security"};
inline constexpr const char* kNtfsDosAttributes[] = {"system.ntfs_attrib_be", "system.ntfs_attrib", "system.dos_attrib"};
inline constexpr char kNtfsTimesAttribute[] = "system.ntfs_times";
inline constexpr char kNtfsReparseAttribute[] = "system.ntfs_reparse_data";
