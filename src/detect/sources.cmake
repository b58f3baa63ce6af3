list(APPEND QF_PORTABLE_SOURCES src/detect/pe_image.cpp src/detect/file_source.cpp
                                src/detect/examine.cpp)
