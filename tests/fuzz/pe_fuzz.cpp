// Fuzz entry for the byte-level decisions: the infection test and the classification over any
// bytes must stay inside them. Built by `make fuzz` with clang's libFuzzer, seeded with the
// sample programs the build makes.
#include <cstddef>
#include <cstdint>

#include "detect/pe_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    pe::IsInfectedImage(data, size);
    pe::MemorySource source{data, size};
    pe::ClassifyBinary("input.exe", source);
    pe::ClassifyBinary("input.com", source);
    return 0;
}
