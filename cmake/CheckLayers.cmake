cmake_minimum_required(VERSION 3.25)
# Fails when a source file includes a header of a module it may not depend on.
#
#   cmake -DSOURCE_DIR=<repo> -DSTAMP=<file> -P CheckLayers.cmake
#
# The modules and what each may include (besides its own folder and the public headers under include/):
#   platform <- component <- archive <- backupfile <- {backup, restore} <- CBackup.cpp (the facade)
# The save (backup/) and the restore (restore/) are siblings: neither includes the other.
# The command-line host (tools/) sees only the public headers.
set(allowed_platform "platform")
set(allowed_component "platform;component")
set(allowed_archive "platform;component;archive")
set(allowed_backupfile "platform;component;archive;backupfile")
set(allowed_backup "platform;component;archive;backupfile;backup")
set(allowed_restore "platform;component;archive;backupfile;restore")
set(modules platform component archive backupfile backup restore)

set(failures "")
foreach(module ${modules})
  file(GLOB_RECURSE files "${SOURCE_DIR}/src/${module}/*.cpp" "${SOURCE_DIR}/src/${module}/*.h")
  foreach(file ${files})
    file(STRINGS "${file}" includes REGEX "^[ \t]*#[ \t]*include[ \t]+\"[a-z]+/")
    foreach(line ${includes})
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]+\"([a-z]+)/.*" "\\1" target "${line}")
      if(target IN_LIST modules AND NOT target IN_LIST allowed_${module})
        file(RELATIVE_PATH shown "${SOURCE_DIR}" "${file}")
        string(APPEND failures "  ${shown}: ${module}/ may not include ${target}/ (${line})\n")
      endif()
    endforeach()
  endforeach()
endforeach()

file(GLOB_RECURSE host_files "${SOURCE_DIR}/tools/*.cpp" "${SOURCE_DIR}/tools/*.h")
foreach(file ${host_files})
  file(STRINGS "${file}" includes REGEX "^[ \t]*#[ \t]*include[ \t]+\"[a-z]+/")
  foreach(line ${includes})
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]+\"([a-z]+)/.*" "\\1" target "${line}")
    if(target IN_LIST modules)
      file(RELATIVE_PATH shown "${SOURCE_DIR}" "${file}")
      string(APPEND failures "  ${shown}: the host sees only include/velabackup/ (${line})\n")
    endif()
  endforeach()
endforeach()

if(failures)
  message(FATAL_ERROR "Includes against the module layering:\n${failures}")
endif()
file(WRITE "${STAMP}" "")
