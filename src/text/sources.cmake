qf_sources(qf_platform src/text/unicode.cpp src/text/escape.cpp src/text/windows_names.cpp)
