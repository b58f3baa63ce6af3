// The rescue's records and summary: hostile values never reach a line raw, drive letters are
// matched to partitions as Windows recorded them, and no skipped volume reads clean.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console/report.h"
#include "rescue_screen/records.h"
#include "rescue_screen/summary.h"

using namespace std::string_literals;

namespace {

TEST(RescueRecords, HostileValuesAndDriveLetters)
{
    const VolumeRecord r = ParseVolumeRecord(
        "label=A=B\x1b[2J\xc2\x9b\r\nsize_bytes=99999999999999999999999\nmbr_signature=1A2B3C4D\noffset_bytes=1048576\n"
        "gpt_guid=not-a-guid\nstate=scan\nwritable=yes\nmount=/mnt/x\nfs=vfat\nstate"s);
    EXPECT_EQ(r.label, "A=B\x1b[2J\xc2\x9b\r");  // raw to the line feed; escaped only when shown
    EXPECT_EQ(r.sizeBytes, 0u);                 // past 64 bits: no size
    EXPECT_EQ(r.mbrSignature, "1a2b3c4d");
    EXPECT_TRUE(r.hasOffset && r.scan && r.writable && r.gptGuid.empty());
    EXPECT_EQ(ParseVolumeRecord("state=scan " + std::string(kLargestRecord, 'x') + "\nmount=/a").mount, "");

    struct Case {
        std::string name, data;
        bool decoded;
        std::string shown;  // as the result's letter line gives it
    };
    const Case cases[] = {
        {"\\DosDevices\\C:", "\x4d\x3c\x2b\x1a\x00\x00\x10\x00\x00\x00\x00\x00"s, true, "letter=C mbr=1a2b3c4d offset=1048576"},
        {"\\dosdevices\\e:", "DMIO:ID:\x33\x22\x11\x00\x55\x44\x77\x66\x88\x99\xaa\xbb\xcc\xdd\xee\xff"s, true,
         "letter=E gpt=00112233-4455-6677-8899-aabbccddeeff"},
        {"\\DosDevices\\F:", "_\0?\0?\0_\0U\0S\0B\0"s, false, ""},  // a removable drive's device path
        {"\\??\\Volume{1}", "\x4d\x3c\x2b\x1a\0\0\0\0\0\0\0\0"s, false, ""},
        {"\\DosDevices\\1:", "\x4d\x3c\x2b\x1a\0\0\0\0\0\0\0\0"s, false, ""}};
    for (const Case& c : cases) {
        DriveLetter letter{};
        ASSERT_EQ(DecodeMountedDevice(c.name, c.data, &letter), c.decoded) << c.name;
        if (!c.decoded)
            continue;
        VolumeResult result{};
        result.letters = {letter};
        const std::string text = FormatVolumeResult(result);
        EXPECT_NE(text.find("\n" + c.shown + "\n"), std::string::npos) << text;
        EXPECT_EQ(ParseVolumeResult(text).letters.size(), 1u);
    }
    DriveLetter c{};
    DecodeMountedDevice(cases[0].name, cases[0].data, &c);
    EXPECT_TRUE(LetterNames(c, r));
    VolumeRecord other = r;
    other.offsetBytes = 2048;
    EXPECT_FALSE(LetterNames(c, other));
    // A result line that is no code is passed over, and one without its exit code is none.
    EXPECT_TRUE(ParseVolumeResult("letter=C mbr=1a2b3c4d offset=1x\nletter=c gpt=x\n").letters.empty());
    EXPECT_FALSE(ParseVolumeResult("files=3\n").present);
}

SummaryVolume Skipped(const std::string& why, const std::string& label = "")
{
    SummaryVolume volume{};
    volume.record = ParseVolumeRecord("device=/dev/sda1\nstate=skip\nwhy=" + why + "\nlabel=" + label);
    return volume;
}

SummaryVolume Scanned(int exitCode, int infected, bool cleanPass, const std::string& record = "writable=yes")
{
    SummaryVolume volume{};
    volume.record = ParseVolumeRecord("device=/dev/sdb1\nstate=scan\nmount=/mnt/b\n" + record);
    volume.result = ParseVolumeResult("exit=" + std::to_string(exitCode) + "\ninfected=" + std::to_string(infected) +
                                      "\ndeleted=" + std::to_string(cleanPass ? infected : 0) + "\nfiles=9\npass=" +
                                      (cleanPass ? "clean" : "check") + "\nskipped=" + (exitCode == 2 ? "1" : "0"));
    return volume;
}

TEST(RescueSummary, VerdictsAndWhatToDoNext)
{
    struct Case {
        std::vector<SummaryVolume> volumes;
        bool clean;
        int exitCode;
        std::string pc;       // the PC's verdict begins so
        std::string verdict;  // the first volume's verdict begins so
        std::string next;     // and what to do next holds this
    };
    const Case cases[] = {
        {{Scanned(0, 0, false), Skipped("linux")}, false, 0, "This PC: No Zaverin found on the 1 volume scanned",
         "    No Zaverin found: 9 files", "Nothing was changed"},
        {{Scanned(0, 0, false), Skipped("refs")}, false, 2, "This PC: NOT FULLY CHECKED", "    No Zaverin found",
         "Nothing to do"},
        {{Scanned(1, 8, false), Skipped("locked-no-key")}, false, 2, "This PC: INFECTED", "    INFECTED: 8 infected files",
         "Boot this stick again and choose Clean this PC."},
        {{Scanned(1, 8, false, "writable=no\nreadonly_why=hibernated")}, true, 1, "This PC: INFECTED", "    INFECTED",
         "hold Shift"},
        {{Scanned(1, 8, false, "writable=no\nreadonly_why=dirty")}, false, 1, "This PC: INFECTED", "    INFECTED",
         "let the check finish"},
        {{Scanned(1, 2, true)}, true, 1, "This PC: Zaverin was found and removed", "    CLEANED: 2 infected files found; 2 ",
         "Start Windows"},
        {{Scanned(2, 0, false)}, false, 2, "This PC: NOT FULLY CHECKED", "    NOT FULLY CHECKED: 1 file or folder",
         "in the report"},
        {{Skipped("key-skipped")}, false, 2, "This PC: NOT FULLY CHECKED", "    NOT SCANNED: locked with BitLocker",
         "Type the recovery key of this volume"},
        {{Skipped("tpm-only")}, false, 2, "This PC: NOT FULLY CHECKED", "    NOT SCANNED", "owner's account"},
        {{SummaryVolume{ParseVolumeRecord("state=scan\nmount=/m"), {}}}, false, 2, "This PC: NOT FULLY CHECKED",
         "    NOT CHECKED: its scan did not finish", "ask a technician"},
        {{}, false, 2, "This PC: NOT CHECKED", "", ""}};
    for (const Case& c : cases) {
        const Summary summary = ComposeSummary(c.volumes, c.clean, "");
        ASSERT_GE(summary.lines.size(), 4u);
        EXPECT_EQ(summary.exitCode, c.exitCode) << summary.lines[1];
        EXPECT_EQ(summary.lines[1].rfind(c.pc, 0), 0u) << summary.lines[1];
        if (c.volumes.empty())
            continue;
        EXPECT_EQ(summary.lines[5].rfind(c.verdict, 0), 0u) << summary.lines[5];
        EXPECT_NE(summary.lines[6].find(c.next), std::string::npos) << summary.lines[6];
        EXPECT_EQ(summary.lines.size(), 4 + 3 * c.volumes.size());
    }
    // A label takes no line of its own and sends nothing raw; the drive letter is another system's.
    SummaryVolume hostile = Skipped("unknown-fs", "x\r\x1b[2J\xc2\x9b\xe2\x80\xae ok");
    hostile.record.mbrSignature = "1a2b3c4d";
    hostile.record.hasOffset = true;
    SummaryVolume system = Scanned(0, 0, false);
    DriveLetter d{'D', false, "1a2b3c4d", 0, ""};
    system.result.letters = {d};
    const Summary summary = ComposeSummary({system, hostile}, false, "Report:\n here");
    EXPECT_EQ(summary.lines[7], " 2. D: \"x\\x0d\\x1b[2J\\xc2\\x9b\\u202e ok\", 0 bytes (sda1)");
    EXPECT_EQ(summary.lines.back(), "Report:\\x0a here");
}

TEST(RescueSummary, LinesWrapWithinTheWidthAndAreNeverCut)
{
    struct Case {
        std::string line;
        size_t width;
        std::vector<std::string> rows;
    };
    const Case cases[] = {
        {"    Next: Boot this stick again", 20, {"    Next: Boot this", "      stick again"}},
        {"abcdefghij", 4, {"abcd", "  ef", "  gh", "  ij"}},
        {"\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e x", 5, {"\xe6\x97\xa5\xe6\x9c\xac", "  \xe8\xaa\x9e", "  x"}},
        {"short", 80, {"short"}},
        {"abc\\x0ad", 6, {"abc", "  \\x0a", "  d"}},
        {"a    bcdef", 5, {"a", "  bcd", "  ef"}}};
    for (const Case& c : cases) {
        const std::vector<std::string> rows = WrapLine(c.line, c.width);
        EXPECT_EQ(rows, c.rows) << c.line;
        for (const std::string& row : rows)
            EXPECT_LE(DisplayWidth(row), c.width) << row;
    }
    EXPECT_EQ(PageRows(25), 24u);
}

}  // namespace
