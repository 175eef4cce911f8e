# The libraries the engine is built on. Each is looked up the same way for a
# development build (Debian's -dev packages) and for the release wheel
# (scripts/wheel points CMAKE_PREFIX_PATH at static builds of the same
# libraries). A build that lacks any of them stops here and names them all.

find_package(simdjson CONFIG QUIET)
find_package(TBB CONFIG QUIET)

# utf8proc installs no CMake package file, only a header and a library.
find_path(UTF8PROC_INCLUDE_DIR utf8proc.h)
find_library(UTF8PROC_LIBRARY NAMES utf8proc utf8proc_static)
if(UTF8PROC_INCLUDE_DIR AND UTF8PROC_LIBRARY AND NOT TARGET utf8proc::utf8proc)
  add_library(utf8proc::utf8proc UNKNOWN IMPORTED)
  set_target_properties(utf8proc::utf8proc PROPERTIES IMPORTED_LOCATION "${UTF8PROC_LIBRARY}"
                        INTERFACE_INCLUDE_DIRECTORIES "${UTF8PROC_INCLUDE_DIR}")
  # Without it the Windows header declares every function dllimport.
  if(UTF8PROC_LIBRARY MATCHES "\\.a$|_static\\.lib$")
    set_property(TARGET utf8proc::utf8proc PROPERTY INTERFACE_COMPILE_DEFINITIONS UTF8PROC_STATIC)
  endif()
endif()

set(_mellix_missing "")
if(NOT simdjson_FOUND)
  list(APPEND _mellix_missing "simdjson >= 3 (Debian: libsimdjson-dev)")
endif()
if(NOT TBB_FOUND)
  list(APPEND _mellix_missing "oneTBB >= 2021 (Debian: libtbb-dev)")
endif()
if(NOT TARGET utf8proc::utf8proc)
  list(APPEND _mellix_missing "utf8proc >= 2.8 (Debian: libutf8proc-dev)")
endif()
if(_mellix_missing)
  list(JOIN _mellix_missing "\n  " _mellix_missing_lines)
  message(FATAL_ERROR
    "varnok-mellix needs these libraries, with their headers, and did not find them:\n"
    "  ${_mellix_missing_lines}\n"
    "Install them (on Debian 12: apt-get install libsimdjson-dev libtbb-dev libutf8proc-dev), "
    "or point CMAKE_PREFIX_PATH at where they are installed. The README's "
    "\"Building from source\" section lists every build requirement.")
endif()
