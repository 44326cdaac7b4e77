# pyxod: the classification of host-file lines and the reading of lock files.
pyxo_fuzz_target(daemon_line_fuzz ${CMAKE_CURRENT_SOURCE_DIR}/daemon_line_fuzz.cc pyxod_core)
pyxo_fuzz_target(daemon_lock_fuzz ${CMAKE_CURRENT_SOURCE_DIR}/daemon_lock_fuzz.cc pyxod_core)
