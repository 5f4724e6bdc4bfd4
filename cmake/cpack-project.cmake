# Read by CPack for each generator. The Debian package also holds what only
# a package needs (its lintian overrides), which cmake --install leaves out.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_COMPONENTS_ALL Unspecified debian)
endif()

# The same commit gives the same package bytes: every time stamp in the
# archives is the last commit's, unless SOURCE_DATE_EPOCH says otherwise
# (as Debian's reproducible builds do).
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  find_program(DSPSTEREO_GIT git)
  if(DSPSTEREO_GIT)
    execute_process(
      COMMAND ${DSPSTEREO_GIT} -C ${CPACK_DSPSTEREO_SOURCE_DIR} log -1 --format=%ct
      OUTPUT_VARIABLE commit_time OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET
      RESULT_VARIABLE git_status)
    if(git_status EQUAL 0 AND commit_time MATCHES "^[0-9]+$")
      set(ENV{SOURCE_DATE_EPOCH} ${commit_time})
    endif()
  endif()
endif()
