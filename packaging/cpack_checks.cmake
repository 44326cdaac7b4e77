# Read by cpack before it packs: a Debian package installs under /usr, and
# pyxo-dialog was built to read its catalogue under the same prefix.
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT CPACK_PACKAGING_INSTALL_PREFIX STREQUAL "/usr")
  message(FATAL_ERROR "The Debian package installs under /usr, this build under "
                      "${CPACK_PACKAGING_INSTALL_PREFIX}: configure it with "
                      "-DCMAKE_INSTALL_PREFIX=/usr (scripts/package.sh does)")
endif()
