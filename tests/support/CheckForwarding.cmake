# Fails when a virtual of data::Catalog or data::Connection has no override in support/Forwarding.h, so a
# wrapped catalog or connection never silently falls back to the interface's default.
#
#   cmake -DSOURCE_DIR=<repo> -P CheckForwarding.cmake
file(READ "${SOURCE_DIR}/tests/support/Forwarding.h" forwarding)
set(missing "")
foreach(pair "Catalog.h;class Catalog " "Connection.h;class Connection ")
  list(GET pair 0 header)
  list(GET pair 1 start)
  file(READ "${SOURCE_DIR}/include/velabackup/data/${header}" text)
  string(FIND "${text}" "${start}" at)
  string(SUBSTRING "${text}" ${at} -1 text)
  string(REGEX MATCHALL "virtual[^(;]*[ *&]([A-Za-z]+)\\(" declarations "${text}")
  foreach(declaration ${declarations})
    string(REGEX REPLACE ".*[ *&]([A-Za-z]+)\\($" "\\1" name "${declaration}")
    if(NOT forwarding MATCHES "[ *&>]${name}\\([^;{]*\\)( const)? override")
      string(APPEND missing " ${name}")
    endif()
  endforeach()
endforeach()
if(missing)
  message(FATAL_ERROR "support/Forwarding.h does not forward:${missing}")
endif()
