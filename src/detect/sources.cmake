qf_sources(qf_core src/detect/pe_image.cpp src/detect/file_source.cpp src/detect/examine.cpp)
