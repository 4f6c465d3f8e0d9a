# Manual pages, bash completion, AppStream metadata, changelog and copyright,
# and the Debian package that carries them with the programs (`make package`).
include(GNUInstallDirs)

set(Q9_PROJECT_URL "https://github.com/q9-updater/q9-updater" CACHE STRING
    "The project's home page, named by the package and the AppStream metadata")
set(Q9_MAINTAINER "q9-updater developers <q9-updater@users.noreply.github.com>" CACHE STRING
    "The package's maintainer, as name <address>")
set(Q9_RELEASE_DATE "2026-12-08" CACHE STRING "The date of this release (YYYY-MM-DD)")
set(Q9_APPSTREAM_ID "q9-updater")

set(Q9_PACKAGING_SOURCE ${CMAKE_CURRENT_LIST_DIR})
set(Q9_PACKAGING_OUT ${CMAKE_BINARY_DIR}/packaging)
execute_process(COMMAND date -u -R -d "${Q9_RELEASE_DATE} 12:00" OUTPUT_VARIABLE Q9_RELEASE_RFC2822
                OUTPUT_STRIP_TRAILING_WHITESPACE)

# Manual pages: one source each, the version filled in, gzipped as Debian wants.
set(Q9_MAN_PAGES q9-updater-cli)
if(Q9_GUI)
  list(APPEND Q9_MAN_PAGES q9-updater)
endif()
if(TARGET q9-virtual-device)
  list(APPEND Q9_MAN_PAGES q9-virtual-device)
endif()

set(Q9_PACKAGING_OUTPUTS "")
# Compresses `in` to `out` the reproducible way (no name, no time stamp).
function(q9_gzip in out)
  add_custom_command(OUTPUT ${out} COMMAND sh -c "gzip -9n -c '${in}' > '${out}'" DEPENDS ${in} VERBATIM)
endfunction()

foreach(page ${Q9_MAN_PAGES})
  configure_file(${Q9_PACKAGING_SOURCE}/${page}.1 ${Q9_PACKAGING_OUT}/man/${page}.1 @ONLY)
  q9_gzip(${Q9_PACKAGING_OUT}/man/${page}.1 ${Q9_PACKAGING_OUT}/man/${page}.1.gz)
  list(APPEND Q9_PACKAGING_OUTPUTS ${Q9_PACKAGING_OUT}/man/${page}.1.gz)
  install(FILES ${Q9_PACKAGING_OUT}/man/${page}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

configure_file(${Q9_PACKAGING_SOURCE}/changelog ${Q9_PACKAGING_OUT}/changelog @ONLY)
q9_gzip(${Q9_PACKAGING_OUT}/changelog ${Q9_PACKAGING_OUT}/changelog.gz)
list(APPEND Q9_PACKAGING_OUTPUTS ${Q9_PACKAGING_OUT}/changelog.gz)
install(FILES ${Q9_PACKAGING_OUT}/changelog.gz ${Q9_PACKAGING_SOURCE}/copyright
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/q9-updater)

add_custom_target(q9-packaging-files ALL DEPENDS ${Q9_PACKAGING_OUTPUTS})

install(FILES ${Q9_PACKAGING_SOURCE}/q9-updater-cli.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME q9-updater-cli)

if(Q9_GUI)
  configure_file(${Q9_PACKAGING_SOURCE}/q9-updater.metainfo.xml
                 ${Q9_PACKAGING_OUT}/${Q9_APPSTREAM_ID}.metainfo.xml @ONLY)
  install(FILES ${Q9_PACKAGING_OUT}/${Q9_APPSTREAM_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
endif()

# The Debian package: q9-updater_<version>_<arch>.deb in the build folder.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME q9-updater)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "q9-updater developers")
set(CPACK_PACKAGE_CONTACT ${Q9_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for the ARKO Q9 USB audio device")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Updates the firmware of an ARKO Q9 over MIDI System Exclusive, with a desktop\n"
    "dialog (q9-updater) and a command-line program (q9-updater-cli). It carries\n"
    "the device's firmware, identifies the device, erases and writes its flash\n"
    "in a fixed plan with a CRC and an acknowledgement for every block, and reads\n"
    "back the device's version fields. Real devices are reached through ALSA and\n"
    "JACK; a built-in virtual ARKO Q9, also available as the JACK program\n"
    "q9-virtual-device, lets an update run without the hardware.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${Q9_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${Q9_PROJECT_URL})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "jackd2")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
