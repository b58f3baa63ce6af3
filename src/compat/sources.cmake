# The stand-ins for imports Windows XP lacks. An object on every program's link line, not a member
# of an archive, so that the linker takes it before the run-time asks for the import.
add_library(qf_xp_imports OBJECT src/compat/xp_tick_count_win32.cpp)
target_link_libraries(qf_platform PUBLIC $<TARGET_OBJECTS:qf_xp_imports>)
