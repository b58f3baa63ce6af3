// Writes infected copies of real programs for the benchmark tree:
//   qf_corpus_plant FORM IN OUT [FORM IN OUT ...]    (FORM: 10 or 00)
// The marker goes where the tests put it, just past the code section.
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "samples.h"

int main(int argc, char** argv)
{
    if (argc < 4 || (argc - 1) % 3 != 0) {
        std::fprintf(stderr, "usage: %s FORM IN OUT [FORM IN OUT ...]\n", argv[0]);
        return 2;
    }
    for (int i = 1; i < argc; i += 3) {
        const bool form10 = std::strcmp(argv[i], "10") == 0;
        if (!form10 && std::strcmp(argv[i], "00") != 0) {
            std::fprintf(stderr, "unknown marker form %s\n", argv[i]);
            return 2;
        }
        const Bytes image = ReadBytes(argv[i + 1]);
        try {
            // A program too short past its code section cannot hold the marker: refuse it
            // rather than plant a partial one.
            if (image.size() < 64 || CodeSectionEnd(image) == 0)
                throw std::out_of_range("no code section");
            if (!WriteBytes(argv[i + 2], Infected(image, form10 ? MarkerForm::Form10 : MarkerForm::Form00)))
                throw std::runtime_error("cannot write");
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s: %s\n", argv[i + 1], e.what());
            return 1;
        }
    }
    return 0;
}
