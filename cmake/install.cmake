# SPDX-License-Identifier: GPL-2.0-or-later
# What `cmake --install` puts where, and the packages CPack makes of it (scripts/package.sh):
# a .deb of morvek-cli and morvek-check on Linux, a zip of the programs on Windows.
include(GNUInstallDirs)

set(MORVEK_MAINTAINER "Morvek developers <morvek@example.org>" CACHE STRING
    "Maintainer named in the packages")
set(MORVEK_SUMMARY "harvests a directory site of internet TV channels into a list")
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
# Packages take only what they contain, so a package build need not build the tests.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

if(WIN32)
  # The zip: the programs (morvek-check.exe too, when built) and the users' README with
  # Windows line ends beside them.
  file(READ "${PROJECT_SOURCE_DIR}/packaging/README-windows.txt" readme)
  string(REPLACE "\r\n" "\n" readme "${readme}")
  string(REPLACE "\n" "\r\n" readme "${readme}")
  file(WRITE "${CMAKE_BINARY_DIR}/README.txt" "${readme}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
               "${PROJECT_SOURCE_DIR}/packaging/README-windows.txt")
  install(TARGETS morvek morvek-cli RUNTIME DESTINATION .)
  if(TARGET morvek-check)
    install(TARGETS morvek-check RUNTIME DESTINATION .)
  endif()
  install(FILES "${CMAKE_BINARY_DIR}/README.txt" DESTINATION .)

  # The licences, in licenses/: Morvek's, and those of every library linked into the programs
  # (FFmpeg and libxml2 from the check's prefix, zlib, the MinGW runtime and GCC's runtime from
  # Debian's cross packages, nlohmann-json compiled in), with where their sources are.
  function(morvek_zip_licence source name)
    if(NOT EXISTS "${source}")
      return()
    endif()
    file(READ "${source}" text)
    string(REPLACE "\r\n" "\n" text "${text}")
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE "${CMAKE_BINARY_DIR}/licenses/${name}.txt" "${text}")
    set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${source}")
    install(FILES "${CMAKE_BINARY_DIR}/licenses/${name}.txt" DESTINATION licenses)
  endfunction()
  function(morvek_debian_version package out)
    execute_process(COMMAND dpkg-query -W "-f=\${source:Package} \${source:Version}" ${package}
                    OUTPUT_VARIABLE version ERROR_QUIET)
    set(${out} "${version}" PARENT_SCOPE)
  endfunction()
  morvek_zip_licence("${PROJECT_SOURCE_DIR}/LICENSE" morvek-LICENSE)
  set(licences "${MORVEK_WIN_DEPS}/share/licenses")
  morvek_zip_licence("${licences}/ffmpeg-LICENSE.md" ffmpeg-LICENSE)
  morvek_zip_licence("${licences}/ffmpeg-COPYING.LGPLv2.1" ffmpeg-COPYING.LGPLv2.1)
  morvek_zip_licence("${licences}/libxml2-Copyright" libxml2-Copyright)
  morvek_zip_licence(/usr/share/doc/libz-mingw-w64-dev/copyright zlib-copyright)
  morvek_zip_licence(/usr/share/doc/mingw-w64-x86-64-dev/copyright mingw-w64-runtime-copyright)
  morvek_zip_licence(/usr/share/doc/gcc-mingw-w64-base/copyright gcc-runtime-copyright)
  morvek_zip_licence(/usr/share/doc/nlohmann-json3-dev/copyright nlohmann-json-copyright)
  morvek_debian_version(libavformat-dev ffmpeg_source)
  morvek_debian_version(libxml2-dev xml_source)
  morvek_debian_version(libz-mingw-w64-dev zlib_source)
  morvek_debian_version(mingw-w64-x86-64-dev mingw_source)
  morvek_debian_version(gcc-mingw-w64-x86-64-posix-runtime gcc_source)
  morvek_debian_version(nlohmann-json3-dev json_source)
  file(WRITE "${CMAKE_BINARY_DIR}/licenses/SOURCES.txt.in"
       "Where the sources of these programs are\n"
       "=======================================\n\n"
       "Morvek ${PROJECT_VERSION} is free software under the GNU General Public License, version 2\n"
       "or (at your option) any later version (morvek-LICENSE.txt). Its source, with the script\n"
       "that cross-builds the libraries below (scripts/build-win-deps.sh, which names the\n"
       "configure options used), is published beside this zip by whoever gave it to you.\n\n"
       "The programs link these libraries statically. Each is built unchanged from Debian's\n"
       "source package of the version named (apt-get source PACKAGE=VERSION, or\n"
       "https://sources.debian.org/src/PACKAGE/VERSION/):\n\n"
       "  FFmpeg (libavformat, libavcodec, libavutil), LGPL-2.1-or-later: ${ffmpeg_source}\n"
       "  libxml2, MIT: ${xml_source}\n"
       "  zlib, Zlib: ${zlib_source}\n"
       "  MinGW-w64 runtime and winpthreads, ZPL-2.1 and MIT: ${mingw_source}\n"
       "  GCC's runtime (libstdc++, libgcc), GPL-3 with the GCC Runtime Library Exception: ${gcc_source}\n"
       "  nlohmann-json (compiled in from its header), MIT: ${json_source}\n")
  morvek_zip_licence("${CMAKE_BINARY_DIR}/licenses/SOURCES.txt.in" SOURCES)

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "morvek-${PROJECT_VERSION}-win64")
else()
  # The manual and the changelog are compressed as Debian wants them: gzip -9, no time stamp.
  configure_file(man/morvek-cli.1 "${CMAKE_BINARY_DIR}/man/morvek-cli.1" @ONLY)
  configure_file(packaging/changelog "${CMAKE_BINARY_DIR}/packaging/changelog" @ONLY)
  set(compressed)
  foreach(file man/morvek-cli.1 packaging/changelog)
    add_custom_command(OUTPUT "${CMAKE_BINARY_DIR}/${file}.gz"
                       COMMAND gzip -9n -c "${CMAKE_BINARY_DIR}/${file}" > "${CMAKE_BINARY_DIR}/${file}.gz"
                       DEPENDS "${CMAKE_BINARY_DIR}/${file}" VERBATIM)
    list(APPEND compressed "${CMAKE_BINARY_DIR}/${file}.gz")
  endforeach()
  add_custom_target(morvek_compressed_docs ALL DEPENDS ${compressed})

  # The service unit of serve, for the package, which installs below /usr and does not
  # enable it.
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(MORVEK_SERVE_PROGRAM "${CPACK_PACKAGING_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/morvek-cli")
  configure_file(packaging/morvek.service "${CMAKE_BINARY_DIR}/packaging/morvek.service" @ONLY)
  install(FILES "${CMAKE_BINARY_DIR}/packaging/morvek.service" DESTINATION lib/systemd/system)
  install(TARGETS morvek-cli RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
  install(TARGETS morvek-check RUNTIME DESTINATION "${CMAKE_INSTALL_LIBEXECDIR}/morvek")
  install(FILES "${CMAKE_BINARY_DIR}/man/morvek-cli.1.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
  install(FILES completions/morvek-cli.bash RENAME morvek-cli
          DESTINATION "${CMAKE_INSTALL_DATADIR}/bash-completion/completions")
  # Debian's zsh looks here (its fpath has no site-functions below /usr/share).
  install(FILES completions/_morvek-cli DESTINATION "${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions")
  install(FILES README.md packaging/copyright "${CMAKE_BINARY_DIR}/packaging/changelog.gz"
          DESTINATION "${CMAKE_INSTALL_DOCDIR}")
  install(DIRECTORY docs DESTINATION "${CMAKE_INSTALL_DOCDIR}")

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # The bash completion is loaded by bash-completion.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS bash-completion)
  # CPack puts the summary first and indents these lines.
  string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
         "morvek-cli reads a public directory site of internet television channels,\n"
         "cuts the channels out of its country pages, gives each a category and writes\n"
         "them to channels.dat, an M3U playlist or JSON. morvek-cli check checks\n"
         "every stream address of such a list with FFmpeg's libavformat. morvek-cli\n"
         "serve keeps the list fresh and serves playlists to media players over HTTP\n"
         "(a systemd unit, morvek.service, not enabled by default).")
endif()

set(CPACK_PACKAGE_NAME morvek)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${MORVEK_SUMMARY}")
set(CPACK_PACKAGE_CONTACT "${MORVEK_MAINTAINER}")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY "${PROJECT_SOURCE_DIR}/build/packages")
include(CPack)
