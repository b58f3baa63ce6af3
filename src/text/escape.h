// Text as the programs write it out: the one JSON string form, and the plain output's escaping.
// Portable, with no platform calls.
#pragma once

#include <string>

// text as a JSON string: a byte that is no UTF-8 (encoded surrogates and overlong forms
// included), and every control, as \u00XX (Latin-1), so that strict readers take it; with wtf8
// (Windows names) a lone surrogate as its own \uXXXX, since the name really holds that unit.
// The one JSON form of a name: qfscan's output and the quarantine's index both write it.
#ifdef _WIN32
std::string JsonString(const std::string& text, bool wtf8 = true);
#else
std::string JsonString(const std::string& text, bool wtf8 = false);
#endif

// text for the plain output, so that no name can forge a line, drive a terminal or read other than
// it is: control bytes (C0, DEL, C1) and bytes that are no UTF-8 become \xHH, bidi controls and
// invisible format characters \uHHHH. Backslashes stay, so that Windows paths (registry text
// included) stay readable.
std::string PlainText(const std::string& text);
