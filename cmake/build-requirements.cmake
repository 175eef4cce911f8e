# What a build needs beyond CMake: a C++23 compiler and three libraries. A
# build that lacks any of them stops here and names what is missing.
#
# The libraries are looked up the same way for a development build (Debian's
# -dev packages) and for the release wheel (scripts/wheel points the search at
# static builds of the same libraries).

include(CheckCXXSourceCompiles)
# std::expected, and std::from_chars for double, are the newest library parts
# the code uses: GCC 12 has both, clang's libc++ from version 20.
check_cxx_source_compiles([[
#include <charconv>
#include <expected>
int main() {
  const char text[] = "1.5";
  double value = 0;
  const std::expected<int, int> e = 1;
  return std::from_chars(text, text + 3, value).ec == std::errc() && e ? 0 : 1;
}
]] MELLIX_HAS_CXX23_LIBRARY)
if(NOT MELLIX_HAS_CXX23_LIBRARY)
  message(FATAL_ERROR
    "varnok-mellix needs a C++23 compiler and standard library with std::expected and "
    "std::from_chars for double: GCC >= 12, or clang with libc++ >= 20 "
    "(${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER_VERSION} lacks them). "
    "The README's \"Building from source\" section lists every build requirement.")
endif()

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
  list(APPEND _mellix_missing "simdjson (Debian: libsimdjson-dev)")
endif()
if(NOT TBB_FOUND)
  list(APPEND _mellix_missing "oneTBB (Debian: libtbb-dev)")
endif()
if(NOT TARGET utf8proc::utf8proc)
  list(APPEND _mellix_missing "utf8proc (Debian: libutf8proc-dev)")
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
