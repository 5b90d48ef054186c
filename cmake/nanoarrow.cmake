# nanoarrow, Apache Arrow's C library, compiled in from the source
# distribution of the `nanoarrow` package on the Python package index. The
# archive is pinned by version and SHA-256 and cached per user, so that only
# the first build of a machine downloads it. Its symbols stay hidden: the
# module exports nothing but its init function.
set(TESSARY_NANOARROW_VERSION "0.9.0")
set(TESSARY_NANOARROW_SHA256 "1ce15bbed8532839347faa78824c5dbd3769bff60661003e34c6fba5dd881bd3")
# The package index's address of exactly that file (it names the version, and
# the hash above is checked on download).
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
    # The archive itself, straight from the package index's file host: no
    # interpreter, no build environment, and the progress shows. pip, which
    # knows the machine's index settings, is the fallback.
    file(MAKE_DIRECTORY "${_cache_dir}")
    set(_url "https://files.pythonhosted.org/packages/bc/b2/8fedfa966cc25126e1c9090e6d9fed75dab4e1d2716e3ca2d18ea2d6f438/nanoarrow-${TESSARY_NANOARROW_VERSION}.tar.gz")
    message(STATUS "Downloading the nanoarrow ${TESSARY_NANOARROW_VERSION} source distribution (3.9 MB) from ${_url}")
    file(DOWNLOAD "${_url}" "${_archive}.part" STATUS _status SHOW_PROGRESS TIMEOUT 120
         INACTIVITY_TIMEOUT 30 EXPECTED_HASH SHA256=${TESSARY_NANOARROW_SHA256})
    list(GET _status 0 _code)
    if(_code EQUAL 0)
      file(RENAME "${_archive}.part" "${_archive}")
    else()
      list(GET _status 1 _reason)
      file(REMOVE "${_archive}.part")
      message(STATUS "Download failed (${_reason}); trying pip download")
      find_package(Python 3.11 REQUIRED COMPONENTS Interpreter)
      # -I: run the interpreter's own pip, not the build environment's path.
      execute_process(
        COMMAND "${Python_EXECUTABLE}" -I -m pip download --no-deps
                --no-binary nanoarrow --dest "${_cache_dir}"
                "nanoarrow==${TESSARY_NANOARROW_VERSION}"
        RESULT_VARIABLE _pip_result
        OUTPUT_QUIET)
      if(NOT _pip_result EQUAL 0 OR NOT EXISTS "${_archive}")
        message(FATAL_ERROR "Could not download nanoarrow ${TESSARY_NANOARROW_VERSION}: ${_reason}")
      endif()
    endif()
    file(SHA256 "${_archive}" _hash)
    if(NOT _hash STREQUAL TESSARY_NANOARROW_SHA256)
      file(REMOVE "${_archive}")
      message(FATAL_ERROR "nanoarrow archive has SHA-256 ${_hash}, expected ${TESSARY_NANOARROW_SHA256}")
    endif()
    message(STATUS "nanoarrow ${TESSARY_NANOARROW_VERSION} cached in ${_cache_dir}")
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
