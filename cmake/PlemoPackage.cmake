# CPack settings for the two packages (see PlemoInstall.cmake).
set(CPACK_PACKAGE_NAME plemo-upload)
set(CPACK_PACKAGE_VENDOR "The Plemo Upload Utility developers")
set(CPACK_PACKAGE_CONTACT "${PLEMO_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_HOMEPAGE_URL "${PLEMO_HOMEPAGE}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "write bitstreams and firmware into a Game Boy cartridge over a serial line")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "plemo-upload-${PROJECT_VERSION}-windows-x64")
  # The files at the top of the zip, as Windows' own unpacker shows them.
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The libraries come from the binaries themselves; Qt's platform plugins
  # are loaded at run time, so no library names them.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "Plemo Upload Utility programs a cartridge plugged into a Game Boy over a
serial line: choose the port and a file, press Upload and switch the Game
Boy on. A firmware image (.frm) is written unchanged from the start of the
flash; an FPGA bitstream (.bit) becomes a 128 KiB flash image. Every block
is checked against the cartridge's own sum before it is committed.
.
The package also holds plemo-cartsim, a simulated cartridge on a
pseudo-terminal, to try the utility without hardware.")

  # Debian's documentation files: the copyright and the package's history.
  set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_PACKAGE_NAME})
  set(changelog ${CMAKE_BINARY_DIR}/changelog.gz)
  add_custom_command(OUTPUT ${changelog}
    COMMAND sh -c "${PLEMO_GZIP} -9nc \"$0\" > \"$1\"" ${package_dir}/changelog.Debian ${changelog}
    DEPENDS ${package_dir}/changelog.Debian VERBATIM)
  add_custom_target(plemo_changelog ALL DEPENDS ${changelog})
  install(FILES ${package_dir}/copyright ${changelog} DESTINATION ${doc_dir})
endif()

include(CPack)
