// The marker decision, the header reader's bounds, and file classification.
#include <gtest/gtest.h>

#include "detect/pe_image.h"
#include "samples.h"

namespace {

// The sample program; a failure to read it is the calling case's.
const Bytes& Sample32(const char* file = __builtin_FILE(), int line = __builtin_LINE())
{
    static const Bytes bytes = ReadBytes(SamplePath("sample32.exe"));
    if (CodeSectionEnd(bytes) == 0)
        ADD_FAILURE_AT(file, line) << "no code section in " << SamplePath("sample32.exe");
    return bytes;
}

bool Decide(const Bytes& image)
{
    return pe::IsInfectedImage(image.data(), image.size());
}

// The marker window rules, one row per case: the bytes written at the probe position and
// whether they make the file infected.
TEST(Marker, WindowRules)
{
    struct Case {
        const char* what;
        std::vector<std::pair<size_t, std::vector<uint8_t>>> writes;
        bool infected;
    };
    const std::vector<Case> cases = {
        {"form 0x10 complete", {{0, {0x10}}, {3969, {'*', 0}}, {3973, {'@', 0}}, {3981, {'P', 0}}}, true},
        {"form 0x10, noise between the texts",
         {{0, {0x10}}, {1, {9, 9, 9}}, {3969, {'*', 0, 7, 7}}, {3973, {'@', 0, 5}}, {3981, {'P', 0}}}, true},
        {"form 0x10, P not terminated", {{0, {0x10}}, {3969, {'*', 0}}, {3973, {'@', 0}}, {3981, {'P', 'Q'}}}, false},
        {"form 0x10, * missing", {{0, {0x10}}, {3969, {'+', 0}}, {3973, {'@', 0}}, {3981, {'P', 0}}}, false},
        {"form 0x10, @ missing", {{0, {0x10}}, {3969, {'*', 0}}, {3973, {'A', 0}}, {3981, {'P', 0}}}, false},
        {"probe 0x11 with form 0x10 texts", {{0, {0x11}}, {3969, {'*', 0}}, {3973, {'@', 0}}, {3981, {'P', 0}}}, false},
        {"form 0x00 complete", {{0, {0x00}}, {1, {1, 2, 3}}, {4, {0x83, 'u', 'B', 'E', 0}}}, true},
        {"form 0x00 not terminated", {{0, {0x00}}, {4, {0x83, 'u', 'B', 'E', 'X'}}}, false},
        {"form 0x00, other first byte", {{0, {0x00}}, {4, {0x84, 'u', 'B', 'E', 0}}}, false},
        {"probe 0x10 with form 0x00 bytes", {{0, {0x10}}, {4, {0x83, 'u', 'B', 'E', 0}}, {3969, {0, 0}}}, false},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> window(pe::kMarkerWindow, 0x55);
        for (const auto& write : c.writes)
            std::copy(write.second.begin(), write.second.end(), window.begin() + write.first);
        EXPECT_EQ(pe::MatchesMarker(window.data(), window.size()), c.infected) << c.what;

        Bytes image = Sample32();
        std::copy(window.begin(), window.end(), image.begin() + CodeSectionEnd(image));
        EXPECT_EQ(Decide(image), c.infected) << c.what << " (whole image)";
    }
}

// A marker that the end of the file cuts short is no marker, and nothing past the end is read
// (the sanitizers would report it).
TEST(Marker, CutByEndOfFile)
{
    const uint64_t probe = CodeSectionEnd(Sample32());
    const Bytes form10 = Infected(Sample32(), MarkerForm::Form10);
    for (uint64_t keep : {probe + 3982, probe + 3981, probe + 3970, probe + 1, probe}) {
        Bytes cut(form10.begin(), form10.begin() + keep);
        EXPECT_FALSE(Decide(cut)) << "file cut at probe + " << keep - probe;
        EXPECT_FALSE(pe::MatchesMarker(cut.data() + std::min<uint64_t>(probe, keep), keep - std::min<uint64_t>(probe, keep)));
    }
    EXPECT_TRUE(Decide(Bytes(form10.begin(), form10.begin() + probe + 3983))) << "the marker ends the file";
}

// Headers that point anywhere: each edit of an infected image must give "not infected" (or stay
// infected where the edit does not matter), never a read outside the bytes.
TEST(Headers, HostileValuesAreRejected)
{
    const Bytes infected = Infected(Sample32(), MarkerForm::Form10);
    const uint32_t nt = GetU32(infected, 0x3C);
    const size_t firstSection = nt + 24 + (infected[nt + 20] | infected[nt + 21] << 8);
    struct Edit {
        const char* what;
        size_t offset;
        uint32_t value;
        int width;
        bool stillInfected = false;  // a field the decision has no need of, or a value the loader takes
    };
    const Edit edits[] = {
        {"no MZ", 0, 0x5A4E, 2},
        {"e_lfanew past the end", 0x3C, static_cast<uint32_t>(infected.size()), 4},
        {"e_lfanew 0xFFFFFFFF", 0x3C, 0xFFFFFFFF, 4},
        {"e_lfanew into the last bytes", 0x3C, static_cast<uint32_t>(infected.size() - 10), 4},
        {"no PE signature", nt, 0x00004551, 4},
        {"no sections", nt + 6, 0, 2},
        {"more sections than the loader takes", nt + 6, 97, 2},
        {"section table past the end", nt + 20, 0xFFFF, 2},
        {"BaseOfCode in no section", nt + 44, 0x7FFFFFF0, 4},
        {"raw data size huge", firstSection + 16, 0xFFFFFF00, 4},
        {"a machine of no kind", nt + 4, 0x1234, 2, true},
        {"SizeOfImage 0", nt + 80, 0, 4, true},
        {"96 sections, the most the loader takes", nt + 6, 96, 2, true},
    };
    ASSERT_TRUE(Decide(infected));
    for (const Edit& edit : edits) {
        Bytes image = infected;
        if (edit.width == 2)
            PutU16(image, edit.offset, static_cast<uint16_t>(edit.value));
        else
            PutU32(image, edit.offset, edit.value);
        EXPECT_EQ(Decide(image), edit.stillInfected) << edit.what;
    }
    // A raw data pointer and size whose sum, cut to 32 bits, would land on the marker again.
    Bytes wraps = infected;
    PutU32(wraps, firstSection + 16, 0xFFFFFFF0);
    PutU32(wraps, firstSection + 20, static_cast<uint32_t>(CodeSectionEnd(infected) + 0x10));
    EXPECT_FALSE(Decide(wraps)) << "raw data pointer and size wrap 32 bits";
}

pe::BinaryType Classify(const char* name, const Bytes& bytes)
{
    pe::MemorySource source{bytes.data(), bytes.size()};
    return pe::ClassifyBinary(name, source);
}

Bytes DosProgram(uint32_t ntOffset, const char* signature)
{
    Bytes bytes(256, 0);
    bytes[0] = 'M';
    bytes[1] = 'Z';
    PutU32(bytes, 0x3C, ntOffset);
    if (signature != nullptr && ntOffset + 2 <= bytes.size()) {
        bytes[ntOffset] = static_cast<uint8_t>(signature[0]);
        bytes[ntOffset + 1] = static_cast<uint8_t>(signature[1]);
    }
    return bytes;
}

// The classification answers what the platform answers for each kind of file.
TEST(Classify, KindsOfFiles)
{
    const Bytes dll = ReadBytes(SamplePath("sample32.dll"));
    const Bytes pe64 = ReadBytes(SamplePath("sample64.exe"));
    ASSERT_FALSE(dll.empty());
    ASSERT_FALSE(pe64.empty());
    Bytes ne = DosProgram(0x80, "NE");
    Bytes os2 = DosProgram(0x80, "NE");
    ne[0x80 + 0x36] = 2;
    os2[0x80 + 0x36] = 1;
    const std::string text = "just some text\r\n";

    EXPECT_EQ(Classify("a.exe", Sample32()), pe::kWin32Binary);
    EXPECT_EQ(Classify("a.txt", Sample32()), pe::kWin32Binary);
    EXPECT_EQ(Classify("a.exe", Infected(Sample32(), MarkerForm::Form10)), pe::kWin32Binary);
    EXPECT_EQ(Classify("a.dll", dll), pe::kNotExecutable);
    EXPECT_EQ(Classify("a.exe", dll), pe::kNotExecutable);
    EXPECT_EQ(Classify("a.exe", pe64), pe::kWin64Binary);
    EXPECT_EQ(Classify("a.exe", DosProgram(0x40, "XX")), pe::kDosBinary);
    EXPECT_EQ(Classify("a.exe", DosProgram(5000, nullptr)), pe::kDosBinary);
    EXPECT_EQ(Classify("a.exe", ne), pe::kWowBinary);
    EXPECT_EQ(Classify("a.exe", os2), pe::kOs216Binary);
    EXPECT_EQ(Classify("a.exe", DosProgram(0xF8, "NE")), pe::kWowBinary) << "a header cut by the end of the file";
    EXPECT_EQ(Classify("a.txt", Bytes(text.begin(), text.end())), pe::kNotExecutable);
    EXPECT_EQ(Classify("a.exe", Bytes()), pe::kNotExecutable);
    EXPECT_EQ(Classify("a.exe", Bytes{'M', 'Z'}), pe::kNotExecutable);
    EXPECT_EQ(Classify("a.COM", Bytes(text.begin(), text.end())), pe::kDosBinary);
    EXPECT_EQ(Classify("a.pif", Bytes(text.begin(), text.end())), pe::kPifBinary);
    EXPECT_EQ(Classify("dir.com\\a", Bytes(text.begin(), text.end())), pe::kNotExecutable);
}

}  // namespace
