// Sample files for the tests: the real Windows programs the build makes, and infected copies of
// them with a marker form written just past the code section's raw data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

enum class MarkerForm { Form10, Form00 };

// The path of a sample the build made ("sample32.exe", "sample32.dll", "sample64.exe"), from the
// QF_SAMPLES environment variable, in the platform's path syntax.
std::string SamplePath(const char* name);

Bytes ReadBytes(const std::string& path);
bool WriteBytes(const std::string& path, const Bytes& bytes);

// End of the code section's raw data (PointerToRawData + SizeOfRawData of the section whose
// VirtualAddress equals BaseOfCode), found without the code under test; 0 when not found.
uint64_t CodeSectionEnd(const Bytes& image);

// A copy of image that carries the marker form just past its code section.
Bytes Infected(const Bytes& image, MarkerForm form);

// Little-endian stores for editing headers in tests.
void PutU16(Bytes& bytes, size_t offset, uint16_t value);
void PutU32(Bytes& bytes, size_t offset, uint32_t value);
uint32_t GetU32(const Bytes& bytes, size_t offset);
