// Fuzz entry for the byte-level decisions: the infection test and the classification over any
// bytes must stay inside them, and a file must be judged as its bytes are. Each input is judged
// from memory and again as a file on disk through FileSource, the source the programs read
// (one head read, then positioned reads); the answers must agree. Built by `make fuzz` with
// clang's libFuzzer against the file-system layer, seeded with the sample programs the build makes.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "detect/file_source.h"
#include "detect/pe_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const bool infected = pe::IsInfectedImage(data, size);
    pe::MemorySource memory{data, size};
    const pe::BinaryType type = pe::ClassifyBinary("input.exe", memory);
    pe::ClassifyBinary("input.com", memory);

    // One file for every input, written through writer and held open through the layer as the
    // scan holds a file it tests.
    static std::string path = std::string(getenv("TMPDIR") != nullptr ? getenv("TMPDIR") : "/tmp") + "/qf-fuzz-XXXXXX";
    static const int writer = mkstemp(&path[0]);
    static FsFile file{-1, nullptr, nullptr, false};
    if (writer < 0 || (file.handle < 0 && (!FsOpenFile(path.c_str(), &file) || unlink(path.c_str()) != 0)) ||
        ftruncate(writer, 0) != 0 || pwrite(writer, data, size, 0) != static_cast<ssize_t>(size))
        std::abort();
    // As the scan asks: the classification, then the infection test from the same source; then
    // as the quarantine asks again, from a source of its own.
    FileSource scanned(file), again(file);
    int error = 0;
    if (pe::ClassifyBinary("input.exe", scanned) != type || pe::DecideInfection(scanned) != infected ||
        pe::DecideInfection(again) != infected || scanned.Failed(&error) || again.Failed(&error))
        std::abort();
    return 0;
}
