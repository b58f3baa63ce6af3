# Real Windows programs that the tests make samples from: a PE32 program, a PE32 DLL and a PE32+
# program, built with the mingw compilers whatever this tree targets. QF_SAMPLES_DIR holds them.
set(QF_SAMPLES_DIR ${CMAKE_BINARY_DIR}/samples)
set(qf_sample_src ${CMAKE_SOURCE_DIR}/tests/samples)
add_custom_command(
  OUTPUT ${QF_SAMPLES_DIR}/sample32.exe ${QF_SAMPLES_DIR}/sample32.dll ${QF_SAMPLES_DIR}/sample64.exe
  COMMAND ${CMAKE_COMMAND} -E make_directory ${QF_SAMPLES_DIR}
  COMMAND i686-w64-mingw32-gcc-posix -O1 -s -o ${QF_SAMPLES_DIR}/sample32.exe ${qf_sample_src}/sample.c
  COMMAND i686-w64-mingw32-gcc-posix -O1 -s -shared -o ${QF_SAMPLES_DIR}/sample32.dll ${qf_sample_src}/sample_dll.c
  COMMAND x86_64-w64-mingw32-gcc-posix -O1 -s -o ${QF_SAMPLES_DIR}/sample64.exe ${qf_sample_src}/sample.c
  DEPENDS ${qf_sample_src}/sample.c ${qf_sample_src}/sample_dll.c
  COMMENT "Building sample Windows programs")
add_custom_target(qf_samples ALL DEPENDS ${QF_SAMPLES_DIR}/sample32.exe)
