list(APPEND QF_PORTABLE_SOURCES src/text/unicode.cpp src/text/escape.cpp src/text/windows_names.cpp)
