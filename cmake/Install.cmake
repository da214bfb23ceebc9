# What `cmake --install` puts in place, and the Debian package CPack makes of it:
#   bin/velabackup, the host;
#   lib/libvelabackup.a, the CBackup library, and lib/velabackup/, the static parts it is made of;
#   include/velabackup/, the public headers;
#   lib/cmake/VelaBackup/ (find_package(VelaBackup) -> VelaBackup::velabackup) and lib/pkgconfig/velabackup.pc;
#   share/velabackup/lang/, the message catalogues; the man page; bash completion.
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

install(TARGETS velabackup EXPORT VelaBackupTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS vela_restore vela_backup vela_backupfile vela_archive vela_component vela_platform sqlite3mc
        EXPORT VelaBackupTargets ARCHIVE DESTINATION ${VELA_PARTS_DIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/include/velabackup DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        FILES_MATCHING PATTERN "*.h")
install(TARGETS velabackup_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/resources/lang/ DESTINATION ${CMAKE_INSTALL_DATADIR}/velabackup/lang
        FILES_MATCHING PATTERN "*.ini")
install(FILES ${CMAKE_SOURCE_DIR}/contrib/bash-completion/velabackup
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

install(EXPORT VelaBackupTargets NAMESPACE VelaBackup:: DESTINATION ${VELA_CMAKE_DIR})
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/VelaBackupConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/VelaBackupConfig.cmake INSTALL_DESTINATION ${VELA_CMAKE_DIR})
# Before 1.0 a minor version may change the interface.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/VelaBackupConfigVersion.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/VelaBackupConfig.cmake ${CMAKE_BINARY_DIR}/VelaBackupConfigVersion.cmake
        DESTINATION ${VELA_CMAKE_DIR})

# The pkg-config file finds its prefix from its own place, so that a moved install still works.
file(RELATIVE_PATH VELA_PC_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" VELA_PC_PREFIX "${VELA_PC_PREFIX}")
configure_file(${CMAKE_SOURCE_DIR}/cmake/velabackup.pc.in ${CMAKE_BINARY_DIR}/velabackup.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/velabackup.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The man page is the host's own --help-all, made by help2man when it is there.
find_program(VELA_HELP2MAN help2man)
if(VELA_HELP2MAN)
  set(VELA_MAN_PAGE ${CMAKE_BINARY_DIR}/man/velabackup.1)
  add_custom_command(
    OUTPUT ${VELA_MAN_PAGE}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${VELA_HELP2MAN} --no-info --help-option=--help-all --version-option=--version
            "--name=back a database up into one file and restore it" --output=${VELA_MAN_PAGE}
            $<TARGET_FILE:velabackup_cli>
    COMMAND gzip -9nf ${VELA_MAN_PAGE}
    DEPENDS velabackup_cli
    COMMENT "Writing the man page of velabackup")
  add_custom_target(velabackup_man ALL DEPENDS ${VELA_MAN_PAGE}.gz)
  install(FILES ${VELA_MAN_PAGE}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(STATUS "help2man not found: no man page for velabackup")
endif()

# `cpack -G DEB` in the build folder: one package with the host, the library, its headers and catalogues.
set(CPACK_PACKAGE_NAME velabackup)
set(CPACK_PACKAGE_VENDOR "VelaBackup")
set(CPACK_PACKAGE_CONTACT "VelaBackup developers <velabackup@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "back a database up into one file and restore it")
set(CPACK_PACKAGE_DESCRIPTION
    "VelaBackup backs a SQLite file database or a PostgreSQL server database up into one zip archive and "
    "restores it, into the same engine or the other one. The package holds the command-line host "
    "velabackup and the C++ library behind it (static, with its headers, CMake package and pkg-config "
    "file).")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# The host's shared libraries give the run-time dependencies; programs linking the library need the
# development packages of the same.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libzip-dev, libpugixml-dev, libdeflate-dev, zlib1g-dev, libpq-dev")
include(CPack)
