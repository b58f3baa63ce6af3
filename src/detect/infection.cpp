// The infection test over the file-system layer's positioned reads.
#include "detect/infection.h"

#include <cstdio>

#include "detect/file_source.h"
#include "detect/pe_image.h"

FileVerdict TestOpenedExecutable(const FsFile& file, int* error)
{
    FileSource source(file);
    const bool infected = pe::DecideInfection(source);
    return source.Failed(error) ? FileVerdict::Unreadable : infected ? FileVerdict::Infected : FileVerdict::Clean;
}

FileVerdict TestExecutableAt(const char* path, FsFile* file, int* error)
{
    if (!FsOpenFile(path, file)) {
        *error = FsLastError();
        return FileVerdict::Unreadable;
    }
    const FileVerdict verdict = TestOpenedExecutable(*file, error);
    if (verdict != FileVerdict::Infected)
        FsClose(file);
    return verdict;
}

namespace {

// A file source that keeps the first byte of its last read: the decision reads the marker window
// last.
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

std::string InfectionWhy(const FsFile& file)
{
    FormSource source(file);
    if (!pe::DecideInfection(source))
        return "Zaverin marker";
    char text[64];
    std::snprintf(text, sizeof text, "Zaverin marker, form 0x%02x", source.first);
    return text;
}
