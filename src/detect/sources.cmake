list(APPEND QF_PORTABLE_SOURCES src/detect/pe_image.cpp src/detect/infection.cpp)
