# The signature tests of pyxo_dev on images built from the fuzz input; the
# test images are its starting points.
pyxo_fuzz_target(probe_guess_fstype_fuzz ${CMAKE_CURRENT_SOURCE_DIR}/probe_guess_fstype.cc
                 pyxo_probe)
target_sources(probe_guess_fstype_fuzz PRIVATE ${PROJECT_SOURCE_DIR}/tests/probe/signature_images.cc)
target_include_directories(probe_guess_fstype_fuzz PRIVATE ${PROJECT_SOURCE_DIR}/tests/probe)
