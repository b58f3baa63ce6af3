// Classification and the infection test of one file.
#include "detect/examine.h"

#include "detect/file_source.h"

namespace {

// A file source that keeps the first byte of its last read: the decision reads the marker window
// last, so that byte is the marker's form.
struct FormSource : FileSource {
    explicit FormSource(const FsFile& opened) : FileSource(opened) {}
    bool Read(uint64_t offset, void* out, uint32_t count)
    {
        const bool read = FileSource::Read(offset, out, count);
        if (read && count > 0)
            first = *static_cast<const uint8_t*>(out);
        return read;
    }
    uint8_t first = 0;
};

}  // namespace

FileCheck ExamineFile(const FsFile& file, const char* name)
{
    FileCheck check{pe::kNotExecutable, FileVerdict::NotTested, 0, -1};
    FormSource source(file);
    if (name != nullptr)
        check.type = pe::ClassifyBinary(name, source);
    if (name == nullptr || check.type == pe::kWin32Binary)
        check.verdict = pe::DecideInfection(source) ? FileVerdict::Infected : FileVerdict::Clean;
    if (source.Failed(&check.error)) {
        // Only a program whose marker window failed was classified from bytes that were read.
        if (check.type != pe::kWin32Binary)
            check.type = pe::kNotExecutable;
        check.verdict = FileVerdict::Unreadable;
    }
    if (check.verdict == FileVerdict::Infected)
        check.form = source.first;
    return check;
}
