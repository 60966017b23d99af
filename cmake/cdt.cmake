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
    # The first interpreter that has pip: the one the build was given, the project's virtual
    # environment, then any Python 3 on the path.
    set(_cdt_candidates)
    if(DEFINED Python_EXECUTABLE)
      list(APPEND _cdt_candidates "${Python_EXECUTABLE}")
    endif()
    if(EXISTS "${CMAKE_CURRENT_SOURCE_DIR}/.venv/bin/python")
      list(APPEND _cdt_candidates "${CMAKE_CURRENT_SOURCE_DIR}/.venv/bin/python")
    endif()
    find_package(Python3 COMPONENTS Interpreter QUIET)
    if(Python3_Interpreter_FOUND)
      list(APPEND _cdt_candidates "${Python3_EXECUTABLE}")
    endif()
    set(_cdt_python "")
    foreach(_candidate IN LISTS _cdt_candidates)
      execute_process(COMMAND "${_candidate}" -m pip --version RESULT_VARIABLE _cdt_pip OUTPUT_QUIET ERROR_QUIET)
      if(_cdt_pip EQUAL 0)
        set(_cdt_python "${_candidate}")
        break()
      endif()
    endforeach()
    if(NOT _cdt_python)
      message(FATAL_ERROR "CDT: no Python interpreter with pip found to download "
                          "${ORBELLE_CDT_PACKAGE}==${ORBELLE_CDT_VERSION} (tried: ${_cdt_candidates}); "
                          "set ORBELLE_CDT_ARCHIVE to a local copy of its source archive instead.")
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
