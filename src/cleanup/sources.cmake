list(APPEND QF_PORTABLE_SOURCES src/cleanup/cleanup_rules.cpp)
list(APPEND QF_WIN32_SOURCES)
