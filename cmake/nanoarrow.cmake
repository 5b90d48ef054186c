# nanoarrow, Apache Arrow's C library, compiled in from the source
# distribution of the `nanoarrow` package on the Python package index. The
# archive is pinned by version and SHA-256 and cached per user, so that only
# the first build of a machine downloads it. Its symbols stay hidden: the
# module exports nothing but its init function.
set(TESSARY_NANOARROW_VERSION "0.9.0")
set(TESSARY_NANOARROW_SHA256 "1ce15bbed8532839347faa78824c5dbd3769bff60661003e34c6fba5dd881bd3")
set(TESSARY_NANOARROW_SOURCE_DIR "" CACHE PATH
    "An unpacked nanoarrow ${TESSARY_NANOARROW_VERSION} source distribution (skips the download)")

if(NOT TESSARY_NANOARROW_SOURCE_DIR)
  if(DEFINED ENV{XDG_CACHE_HOME} AND NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
    set(_cache_dir "$ENV{XDG_CACHE_HOME}/tessary-build")
  elseif(DEFINED ENV{HOME})
    set(_cache_dir "$ENV{HOME}/.cache/tessary-build")
  else()
    set(_cache_dir "${CMAKE_BINARY_DIR}/_deps")
  endif()
  set(_archive "${_cache_dir}/nanoarrow-${TESSARY_NANOARROW_VERSION}.tar.gz")
  set(_have_archive FALSE)
  if(EXISTS "${_archive}")
    file(SHA256 "${_archive}" _hash)
    if(_hash STREQUAL TESSARY_NANOARROW_SHA256)
      set(_have_archive TRUE)
    endif()
  endif()
  if(NOT _have_archive)
    find_package(Python 3.11 REQUIRED COMPONENTS Interpreter)
    file(MAKE_DIRECTORY "${_cache_dir}")
    message(STATUS "Downloading the nanoarrow ${TESSARY_NANOARROW_VERSION} source distribution")
    # -I: run the interpreter's own pip, not the build environment's path.
    execute_process(
      COMMAND "${Python_EXECUTABLE}" -I -m pip download --no-deps
              --no-binary nanoarrow --dest "${_cache_dir}"
              "nanoarrow==${TESSARY_NANOARROW_VERSION}"
      RESULT_VARIABLE _pip_result
      OUTPUT_QUIET)
    if(NOT _pip_result EQUAL 0 OR NOT EXISTS "${_archive}")
      message(FATAL_ERROR "Could not download nanoarrow ${TESSARY_NANOARROW_VERSION} with pip")
    endif()
    file(SHA256 "${_archive}" _hash)
    if(NOT _hash STREQUAL TESSARY_NANOARROW_SHA256)
      file(REMOVE "${_archive}")
      message(FATAL_ERROR "nanoarrow archive has SHA-256 ${_hash}, expected ${TESSARY_NANOARROW_SHA256}")
    endif()
  endif()
  set(_unpacked "${CMAKE_BINARY_DIR}/_deps/nanoarrow-${TESSARY_NANOARROW_VERSION}")
  if(NOT EXISTS "${_unpacked}/subprojects/arrow-nanoarrow/CMakeLists.txt")
    file(ARCHIVE_EXTRACT INPUT "${_archive}" DESTINATION "${CMAKE_BINARY_DIR}/_deps"
         PATTERNS "nanoarrow-${TESSARY_NANOARROW_VERSION}/subprojects/arrow-nanoarrow")
  endif()
  set(TESSARY_NANOARROW_SOURCE_DIR "${_unpacked}")
endif()

# The source distribution carries the C library without its CMake packaging,
# so the four sources of the core are compiled here directly.
set(_nanoarrow_src "${TESSARY_NANOARROW_SOURCE_DIR}/subprojects/arrow-nanoarrow/src")
set(NANOARROW_VERSION "${TESSARY_NANOARROW_VERSION}")
string(REPLACE "." ";" _parts "${TESSARY_NANOARROW_VERSION}")
list(GET _parts 0 NANOARROW_VERSION_MAJOR)
list(GET _parts 1 NANOARROW_VERSION_MINOR)
list(GET _parts 2 NANOARROW_VERSION_PATCH)
set(NANOARROW_NAMESPACE_DEFINE "#define NANOARROW_NAMESPACE TessaryNanoarrow")
configure_file("${_nanoarrow_src}/nanoarrow/nanoarrow_config.h.in"
               "${CMAKE_BINARY_DIR}/nanoarrow_generated/nanoarrow/nanoarrow_config.h")
add_library(nanoarrow_static STATIC
  "${_nanoarrow_src}/nanoarrow/common/array.c"
  "${_nanoarrow_src}/nanoarrow/common/schema.c"
  "${_nanoarrow_src}/nanoarrow/common/array_stream.c"
  "${_nanoarrow_src}/nanoarrow/common/utils.c")
target_include_directories(nanoarrow_static SYSTEM PUBLIC
  "${CMAKE_BINARY_DIR}/nanoarrow_generated" "${_nanoarrow_src}")
target_compile_options(nanoarrow_static PRIVATE -w)
set_target_properties(nanoarrow_static PROPERTIES C_VISIBILITY_PRESET hidden
                                                  POSITION_INDEPENDENT_CODE ON)
