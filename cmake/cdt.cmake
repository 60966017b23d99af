# CDT (constrained Delaunay triangulation, header-only) triangulates the caps of sloped slabs
# whose axis a transform tilts. It has no Debian package; its headers are taken from the source
# distribution of the PyPI package that binds it, pinned to one version and checked by hash.
# The download runs once per build directory; the headers are never part of the repository.

set(ORBELLE_CDT_PACKAGE pythoncdt)
set(ORBELLE_CDT_VERSION 2.0.2)
set(ORBELLE_CDT_SHA256 303832cae14a5ce90bb4bc696274c8add0f1f0b9bd4edb943e24fd10417036c4)
# An already downloaded archive of that version may be given to skip the download.
set(ORBELLE_CDT_ARCHIVE "" CACHE FILEPATH "Local copy of the ${ORBELLE_CDT_PACKAGE} ${ORBELLE_CDT_VERSION} source archive")

set(_cdt_root "${CMAKE_BINARY_DIR}/_deps/cdt")
set(_cdt_name "${ORBELLE_CDT_PACKAGE}-${ORBELLE_CDT_VERSION}")
set(ORBELLE_CDT_INCLUDE_DIR "${_cdt_root}/${_cdt_name}/CDT/CDT/include")

if(NOT EXISTS "${ORBELLE_CDT_INCLUDE_DIR}/CDT.h")
  set(_cdt_archive "${ORBELLE_CDT_ARCHIVE}")
  if(NOT _cdt_archive)
    if(DEFINED Python_EXECUTABLE)
      set(_cdt_python "${Python_EXECUTABLE}")
    else()
      find_package(Python3 COMPONENTS Interpreter)
      if(NOT Python3_Interpreter_FOUND)
        message(FATAL_ERROR "CDT: a Python interpreter with pip is needed to download "
                            "${ORBELLE_CDT_PACKAGE}==${ORBELLE_CDT_VERSION} (or set ORBELLE_CDT_ARCHIVE).")
      endif()
      set(_cdt_python "${Python3_EXECUTABLE}")
    endif()
    message(STATUS "CDT: downloading the source distribution of ${ORBELLE_CDT_PACKAGE}==${ORBELLE_CDT_VERSION}")
    file(REMOVE_RECURSE "${_cdt_root}/download")
    execute_process(
      COMMAND "${_cdt_python}" -m pip download --quiet --disable-pip-version-check --no-deps
              --no-binary "${ORBELLE_CDT_PACKAGE}" "${ORBELLE_CDT_PACKAGE}==${ORBELLE_CDT_VERSION}"
              -d "${_cdt_root}/download"
      RESULT_VARIABLE _cdt_result
      OUTPUT_VARIABLE _cdt_output
      ERROR_VARIABLE _cdt_output)
    set(_cdt_archive "${_cdt_root}/download/${_cdt_name}.tar.gz")
    if(NOT _cdt_result EQUAL 0 OR NOT EXISTS "${_cdt_archive}")
      message(FATAL_ERROR "CDT: could not download ${ORBELLE_CDT_PACKAGE}==${ORBELLE_CDT_VERSION} "
                          "with ${_cdt_python} -m pip (status ${_cdt_result}):\n${_cdt_output}")
    endif()
  endif()
  file(SHA256 "${_cdt_archive}" _cdt_hash)
  if(NOT _cdt_hash STREQUAL ORBELLE_CDT_SHA256)
    message(FATAL_ERROR "CDT: ${_cdt_archive} has SHA-256 ${_cdt_hash}, expected ${ORBELLE_CDT_SHA256}.")
  endif()
  file(ARCHIVE_EXTRACT INPUT "${_cdt_archive}" DESTINATION "${_cdt_root}"
       PATTERNS "${_cdt_name}/CDT/CDT/include" "${_cdt_name}/CDT/CDT/LICENSE*")
  if(NOT EXISTS "${ORBELLE_CDT_INCLUDE_DIR}/CDT.h")
    message(FATAL_ERROR "CDT: ${_cdt_archive} holds no CDT/CDT/include/CDT.h.")
  endif()
endif()

target_include_directories(orbelle_core SYSTEM PRIVATE "${ORBELLE_CDT_INCLUDE_DIR}")
