list(APPEND QF_PORTABLE_SOURCES src/text/unicode.cpp)
