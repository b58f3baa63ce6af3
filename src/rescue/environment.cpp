// Expanding an offline system's environment references.
#include "rescue/environment.h"

#include <cstring>

#include "text/unicode.h"

std::string ExpandReferences(const std::string& text, const std::vector<EnvironmentVariable>& variables)
{
    auto same = [&](const std::string& a, const char* b) {
        return a.size() == std::strlen(b) && AsciiEqualNoCase(a.data(), b, a.size());
    };
    std::string out;
    size_t at = 0;
    for (size_t open; (open = text.find('%', at)) != std::string::npos;) {
        const size_t close = text.find('%', open + 1);
        if (close == std::string::npos)
            break;
        const std::string name = text.substr(open + 1, close - open - 1);
        const EnvironmentVariable* found = nullptr;
        for (const EnvironmentVariable& variable : variables)
            if (same(name, variable.name))
                found = &variable;
        out += text.substr(at, open - at);
        if (found == nullptr) {
            out += '%';  // not a reference: its closing % may open the next one
            at = open + 1;
            continue;
        }
        out += found->value;
        at = close + 1;
    }
    return out + text.substr(at);
}
