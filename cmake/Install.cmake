# What `cmake --install` puts in place, and the two Debian packages `cpack -G DEB` makes of it:
#   velabackup (component host): bin/velabackup, the host; share/velabackup/lang/, its message catalogues;
#     its man page and bash completion;
#   libvelabackup-dev (component dev): lib/libvelabackup.a, the CBackup library, and lib/velabackup/, the
#     static parts it is made of; include/velabackup/, the public headers; lib/cmake/VelaBackup/
#     (find_package(VelaBackup) -> VelaBackup::velabackup) and lib/pkgconfig/velabackup.pc.
# Each package has its copyright file and changelog in share/doc/<package>/.
#
# The library stays static parts, each installed and exported as it is built: the layering and its link order
# hold for programs that embed it as they do here, and the vendored SQLite (sqlite3mc) is linked only by
# whoever links VelaBackup::velabackup, under its own name, never mixed with the system's libsqlite3. A
# shared library would have to hide SQLite's symbols and the parts' internals behind an export list the
# public headers do not mark; one merged archive could not be an exported target.
include(CMakePackageConfigHelpers)

set(VELA_PARTS_DIR ${CMAKE_INSTALL_LIBDIR}/velabackup)
set(VELA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/VelaBackup)

# The vendored engine's header is for the library's own build; installed programs never include it.
set_target_properties(
  sqlite3mc PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "$<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/third_party/sqlite3mc>"
                       INTERFACE_SYSTEM_INCLUDE_DIRECTORIES
                       "$<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/third_party/sqlite3mc>")

set(VELA_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc)

install(TARGETS velabackup EXPORT VelaBackupTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(TARGETS vela_restore vela_backup vela_backupfile vela_archive vela_component vela_platform sqlite3mc
        EXPORT VelaBackupTargets ARCHIVE DESTINATION ${VELA_PARTS_DIR} COMPONENT dev)
# `strip` leaves static archives as they are, and their debug information is most of their size: a
# stripping install (`cmake --install --strip`, CPack) drops it (and the compiler's notes, as Debian's own
# packages do), and keeps the symbols a link needs.
install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    file(GLOB_RECURSE _vela_archives \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/*.a\")
    foreach(_vela_archive IN LISTS _vela_archives)
      execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-debug --remove-section=.comment --remove-section=.note
                              --enable-deterministic-archives \"\${_vela_archive}\" COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
  endif()" COMPONENT dev)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/include/velabackup DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev
        FILES_MATCHING PATTERN "*.h")

install(TARGETS velabackup_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT host)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/resources/lang/ DESTINATION ${CMAKE_INSTALL_DATADIR}/velabackup/lang
        COMPONENT host FILES_MATCHING PATTERN "*.ini")
install(FILES ${CMAKE_SOURCE_DIR}/contrib/bash-completion/velabackup
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT host)

install(EXPORT VelaBackupTargets NAMESPACE VelaBackup:: DESTINATION ${VELA_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/VelaBackupConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/VelaBackupConfig.cmake INSTALL_DESTINATION ${VELA_CMAKE_DIR})
# Before 1.0 a minor version may change the interface.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/VelaBackupConfigVersion.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/VelaBackupConfig.cmake ${CMAKE_BINARY_DIR}/VelaBackupConfigVersion.cmake
        DESTINATION ${VELA_CMAKE_DIR} COMPONENT dev)

# The pkg-config file finds its prefix from its own place, so that a moved install still works.
file(RELATIVE_PATH VELA_PC_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" VELA_PC_PREFIX "${VELA_PC_PREFIX}")
configure_file(${CMAKE_SOURCE_DIR}/cmake/velabackup.pc.in ${CMAKE_BINARY_DIR}/velabackup.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/velabackup.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# The man page is written by hand (packaging/velabackup.1); tests/consumer/ManPage.sh holds it to the
# options the host takes.
set(VELA_MAN_PAGE ${CMAKE_BINARY_DIR}/man/velabackup.1.gz)
add_custom_command(
  OUTPUT ${VELA_MAN_PAGE}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
  COMMAND gzip -9nc ${CMAKE_SOURCE_DIR}/packaging/velabackup.1 > ${VELA_MAN_PAGE}
  DEPENDS ${CMAKE_SOURCE_DIR}/packaging/velabackup.1
  COMMENT "Compressing the man page of velabackup")
add_custom_target(velabackup_man ALL DEPENDS ${VELA_MAN_PAGE})
install(FILES ${VELA_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT host)

# Each package's copyright file and changelog (the packages are their own upstream: one changelog).
set(VELA_CHANGELOG ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(
  OUTPUT ${VELA_CHANGELOG}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
  COMMAND gzip -9nc ${CMAKE_SOURCE_DIR}/packaging/changelog > ${VELA_CHANGELOG}
  DEPENDS ${CMAKE_SOURCE_DIR}/packaging/changelog
  COMMENT "Compressing the changelog of the packages")
add_custom_target(velabackup_changelog ALL DEPENDS ${VELA_CHANGELOG})
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright ${VELA_CHANGELOG} DESTINATION ${VELA_DOC_DIR}/velabackup
        COMPONENT host)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright ${VELA_CHANGELOG}
        DESTINATION ${VELA_DOC_DIR}/libvelabackup-dev COMPONENT dev)

# `cpack -G DEB` in the build folder: velabackup_<version>_<arch>.deb and libvelabackup-dev_<...>.deb.
set(CPACK_PACKAGE_NAME velabackup)
set(CPACK_PACKAGE_VENDOR "VelaBackup")
set(CPACK_PACKAGE_CONTACT "VelaBackup developers <velabackup@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL host dev)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

set(CPACK_DEBIAN_HOST_PACKAGE_NAME velabackup)
set(CPACK_DEBIAN_HOST_PACKAGE_SECTION utils)
# The run-time dependencies are those of the host's shared libraries; a direct copy of a server database
# runs the server's own client tools.
set(CPACK_DEBIAN_HOST_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_HOST_PACKAGE_RECOMMENDS postgresql-client)
# Each package's description: its first line is the summary (no CPACK_PACKAGE_DESCRIPTION_SUMMARY, which
# CPack would put before it as a second one), each further line is indented by CPack.
set(CPACK_DEBIAN_HOST_DESCRIPTION
    "back a database up into one file and restore it
velabackup backs a SQLite file database or a PostgreSQL server database up into
one zip archive and restores it, into the same engine or into the other one.
A text backup holds the schema as an XML document and the rows of each table,
and moves a database between the engines; a direct copy packs the engine's own
copy. A restore builds the new database aside and puts it in place only when it
succeeds. verify checks a backup file without a database, inspect lists what it
holds.
.
Direct copies of server databases need PostgreSQL's client tools (pg_dump,
pg_restore), from the postgresql-client package.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libvelabackup-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# The static parts link these libraries, and the CMake package finds them through pkg-config.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
    "libzip-dev, libpugixml-dev, libdeflate-dev, zlib1g-dev, libpq-dev, pkgconf | pkg-config")
set(CPACK_DEBIAN_DEV_DESCRIPTION
    "C++ library to back a database up into one file and restore it
VelaBackup is a C++20 library that backs a SQLite file database or a
PostgreSQL server database up into one zip archive and restores it, into the
same engine or into the other one: one class, vela::CBackup, with Save and
Restore, progress and question events, and the message catalogues built in.
.
This package holds the static libraries (with the vendored SQLite3 Multiple
Ciphers), the public headers, a CMake package (find_package(VelaBackup),
target VelaBackup::velabackup) and a pkg-config file (velabackup).")
include(CPack)
