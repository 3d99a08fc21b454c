# What `cmake --install` puts where, and the two packages made from it with
# CPack: a Debian package (cpack -G DEB, or the "deb" presets) and the
# Windows download (cpack -G ZIP in the Windows build, preset "windows-zip").
# Included last, after every folder, so that it sees each program target.
#
# The programs: plemo-upload, plemo-cartsim (not on Windows), plemo-flash
# where the project has it. A program's manual page is <name>.1 beside its
# sources; one that has none yet is installed without.
#
# On Linux the layout is the freedesktop one under CMAKE_INSTALL_PREFIX:
#   bin/                                 the programs
#   share/applications/<id>.desktop      the menu entry
#   share/icons/hicolor/scalable/apps/   the icon (SVG) and, under NxN/apps/,
#                                        PNGs rendered from it at build time
#   share/metainfo/<id>.metainfo.xml     the AppStream description
#   share/man/man1/<name>.1.gz           the manual pages
# On Windows everything goes to the top of the zip: the .exe files and
# README.txt.
include(GNUInstallDirs)

set(PLEMO_APP_ID org.plemo.UploadUtility)
# AppStream wants its screenshots on the web: the pictures in
# ui/package/screenshots/ (the real dialog under Xvfb) are to be published
# as <homepage>/screenshots/<name>.png.
set(PLEMO_HOMEPAGE "https://plemo.example/upload-utility" CACHE STRING
    "The project's web page; the AppStream screenshots are published below it")
set(PLEMO_PACKAGE_CONTACT "Plemo Upload Utility maintainers <maintainers@plemo.example>"
    CACHE STRING "Maintainer of the Debian package")
# The day this version was released (AppStream).
set(PLEMO_RELEASE_DATE 2026-12-07)
set(package_dir ${PROJECT_SOURCE_DIR}/ui/package)

set(plemo_programs "")
foreach(program plemo-upload plemo-cartsim plemo-flash)
  if(TARGET ${program})
    list(APPEND plemo_programs ${program})
  endif()
endforeach()

if(WIN32)
  install(TARGETS ${plemo_programs} RUNTIME DESTINATION .)
  set(PLEMO_WINDOWS_EXTRA "")
  if(TARGET plemo-flash)
    set(PLEMO_WINDOWS_EXTRA "plemo-flash.exe does the same upload from a command prompt: run \"plemo-flash --help\" for its options.")
  endif()
  configure_file(${package_dir}/README-windows.txt.in ${CMAKE_BINARY_DIR}/README.txt @ONLY
                 NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/README.txt DESTINATION .)
else()
  install(TARGETS ${plemo_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

  find_program(PLEMO_GZIP gzip REQUIRED)
  find_program(PLEMO_RSVG_CONVERT rsvg-convert REQUIRED)
  set(generated "")

  # Manual pages, compressed the way Debian wants them (no name, no time).
  foreach(program ${plemo_programs})
    get_target_property(source_dir ${program} SOURCE_DIR)
    set(page ${source_dir}/${program}.1)
    if(EXISTS ${page})
      set(out ${CMAKE_BINARY_DIR}/man/${program}.1.gz)
      add_custom_command(OUTPUT ${out}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
        COMMAND sh -c "${PLEMO_GZIP} -9nc \"$0\" > \"$1\"" ${page} ${out}
        DEPENDS ${page} VERBATIM)
      list(APPEND generated ${out})
      install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    endif()
  endforeach()

  # The icon: the drawing itself, and PNGs for desktops that want pixels.
  set(icon ${package_dir}/${PLEMO_APP_ID}.svg)
  install(FILES ${icon} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
  foreach(size 16 24 32 48 64 128 256)
    set(out ${CMAKE_BINARY_DIR}/icons/${size}x${size}/${PLEMO_APP_ID}.png)
    add_custom_command(OUTPUT ${out}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/icons/${size}x${size}
      COMMAND ${PLEMO_RSVG_CONVERT} -w ${size} -h ${size} -o ${out} ${icon}
      DEPENDS ${icon} VERBATIM)
    list(APPEND generated ${out})
    install(FILES ${out} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
  endforeach()
  add_custom_target(plemo_install_files ALL DEPENDS ${generated})

  install(FILES ${package_dir}/${PLEMO_APP_ID}.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  configure_file(${package_dir}/${PLEMO_APP_ID}.metainfo.xml.in
                 ${CMAKE_BINARY_DIR}/${PLEMO_APP_ID}.metainfo.xml @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/${PLEMO_APP_ID}.metainfo.xml
          DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
endif()

include(PlemoPackage)
