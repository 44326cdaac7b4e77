# The signature tests of pyxo_dev on images built from the fuzz input.
pyxo_fuzz_target(probe_guess_fstype_fuzz ${CMAKE_CURRENT_SOURCE_DIR}/probe_guess_fstype.cc
                 pyxo_probe probe_signature_images)
