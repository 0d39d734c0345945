# Writes the header that names this build: the commit it was made from, with "-modified" when the
# tree had uncommitted changes, or the TOBBLE_BUILD_ID given to it (a package built from a source
# tarball). Run at every build; the header only changes, and only its users recompile, when the
# commit does.
#   cmake -DSOURCE_DIR=... -DOUTPUT=... [-DTOBBLE_BUILD_ID=...] -P BuildId.cmake
set(id "${TOBBLE_BUILD_ID}")
if(id STREQUAL "")
  execute_process(COMMAND git -C "${SOURCE_DIR}" rev-parse --short=12 HEAD
                  OUTPUT_VARIABLE id OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE status ERROR_QUIET)
  if(NOT status EQUAL 0 OR id STREQUAL "")
    set(id "unknown")
  else()
    execute_process(COMMAND git -C "${SOURCE_DIR}" status --porcelain --untracked-files=no
                    OUTPUT_VARIABLE changes RESULT_VARIABLE status ERROR_QUIET)
    if(status EQUAL 0 AND NOT changes STREQUAL "")
      string(APPEND id "-modified")
    endif()
  endif()
endif()
set(text "// Generated at build time by cmake/BuildId.cmake.\n#pragma once\n#define TOBBLE_BUILD_ID \"${id}\"\n")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUTPUT}" "${text}")
endif()
