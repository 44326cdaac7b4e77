# Run by cpack in its staging area before it packs, doing what Debian's
# helpers do: manual pages and changelogs compressed (gzip -9n, so that the
# package is the same from one build to the next), static libraries without
# debugging sections (cpack strips only programs and shared libraries).
file(GLOB_RECURSE docs
     ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/share/man/*
     ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/share/doc/*/changelog)
foreach(doc ${docs})
  if(NOT doc MATCHES "\\.gz$")
    execute_process(COMMAND gzip -9nf ${doc} COMMAND_ERROR_IS_FATAL ANY)
  endif()
endforeach()
file(GLOB_RECURSE archives ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*.a)
foreach(archive ${archives})
  execute_process(COMMAND strip --strip-debug --remove-section=.comment --remove-section=.note
                          --enable-deterministic-archives ${archive}
                  COMMAND_ERROR_IS_FATAL ANY)
endforeach()
