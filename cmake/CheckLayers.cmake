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

# ---- The engines' headers ------------------------------------------------------------------------------
# SQLite's headers (sqlite3*.h) and libpq's (libpq*.h) are the providers' own: a file of the library, its
# public headers or the host that includes one, in either form ("..." or <...>), outside
# src/platform/data/sqlite/ and src/platform/data/postgres/ fails; so does a provider's own header
# (platform/data/sqlite/..., platform/data/postgres/...) included above the data layer, which reaches a
# provider only through vela::data. (Tests may include them: they link the engines themselves.)
set(engine_failures "")
file(GLOB_RECURSE engine_files "${SOURCE_DIR}/src/*.cpp" "${SOURCE_DIR}/src/*.h" "${SOURCE_DIR}/tools/*.cpp"
     "${SOURCE_DIR}/tools/*.h" "${SOURCE_DIR}/include/*.h")
foreach(file ${engine_files})
  file(RELATIVE_PATH shown "${SOURCE_DIR}" "${file}")
  if(shown MATCHES "^src/platform/data/(sqlite|postgres)/")
    continue()
  endif()
  file(STRINGS "${file}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"](sqlite3|libpq)[^>\"]*[>\"]")
  foreach(line ${includes})
    string(APPEND engine_failures "  ${shown}: only the providers include an engine's headers (${line})\n")
  endforeach()
  if(NOT shown MATCHES "^src/platform/data/")
    file(STRINGS "${file}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"platform/data/(sqlite|postgres)/")
    foreach(line ${includes})
      string(APPEND engine_failures "  ${shown}: a provider is reached through vela::data only (${line})\n")
    endforeach()
  endif()
endforeach()
if(engine_failures)
  message(FATAL_ERROR "Engine headers above the providers:\n${engine_failures}")
endif()

file(WRITE "${STAMP}" "")
