# The Debian package: `cmake --build DIR --target package` (or
# scripts/package.sh) packs everything the install rules put in place, so a
# program or manual page that gains an install rule comes along. Debian
# installs under /usr: configure the package's build with
# -DCMAKE_INSTALL_PREFIX=/usr, which also tells pyxo-dialog where its
# catalogue is.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pyxo)
set(CPACK_PACKAGE_CONTACT "pyxo authors <pyxo@users.noreply.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "USB storage watch daemon, dialog tool and filesystem probe")
set(CPACK_PACKAGE_DESCRIPTION "\
pyxod watches USB mass-storage media and reports every medium plugged in,
attached or removed to a servant over CORBA (omniORB). pyxo-watch is a
console servant that starts it and prints the reports. pyxo-dialog asks one
thing in a GTK 2 dialog for shell scripts, and pyxo_dev prints the
filesystem type found on a block device. The package also carries the
utility library libpyxo-util (file, URL, path, lock-file and browser
helpers, a typed stack) with its headers and pkg-config file.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The shared library needs the loader's cache refreshed: by a trigger, as
# Debian wants (cpack adds ldconfig calls to the maintainer scripts as well).
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack_checks.cmake)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/staging.cmake)
include(CPack)

set(PYXO_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/pyxo)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${CMAKE_CURRENT_LIST_DIR}/changelog
        DESTINATION ${PYXO_DOCDIR})
# A systemd user unit that runs pyxo-watch --notify, for users to enable.
configure_file(${CMAKE_CURRENT_LIST_DIR}/pyxo-watch.service.in pyxo-watch.service @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/pyxo-watch.service
        DESTINATION lib/systemd/user)
# Only a package's files are checked by lintian.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME pyxo)
endif()
