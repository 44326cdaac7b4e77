# The utility library's parsers and path builders on random text.
pyxo_fuzz_target(util_fuzz_parse ${CMAKE_CURRENT_SOURCE_DIR}/util_parse.cc pyxo_util)
pyxo_fuzz_target(util_fuzz_path ${CMAKE_CURRENT_SOURCE_DIR}/util_path.cc pyxo_util)
