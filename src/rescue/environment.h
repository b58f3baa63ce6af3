// Expanding an offline system's environment references, which only the offline repair needs.
#pragma once

#include <string>
#include <vector>

// A variable of an offline system's environment, for expanding REG_EXPAND_SZ data without the
// platform: its name (letter case ignored, as Windows does) and its value.
struct EnvironmentVariable {
    const char* name;
    std::string value;
};

// text with every %NAME% that names one of variables replaced by its value; anything else,
// unknown names included, stays as it is, as the platform's expansion leaves it.
std::string ExpandReferences(const std::string& text, const std::vector<EnvironmentVariable>& variables);
