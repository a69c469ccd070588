# Writes the version file of the build: the project's version and, when the
# sources are a git checkout, the commit they were built from ("-dirty" when
# they differ from it). Run at every build; the file is rewritten only when its
# content changes, so nothing is recompiled otherwise.
#   cmake -DSOURCE_DIR=... -DOUTPUT=... -DVERSION=... -P version.cmake
set(commit "")
find_program(GIT git)
if(GIT AND EXISTS "${SOURCE_DIR}/.git")
  execute_process(COMMAND ${GIT} -C "${SOURCE_DIR}" describe --always --dirty --abbrev=12 --exclude=*
                  OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE failed)
  if(failed)
    set(commit "")
  endif()
endif()
set(content "// Generated at build time by cmake/version.cmake; do not edit.
#include \"core/version.h\"
namespace zeb {
const char* version_number() { return \"${VERSION}\"; }
const char* version_commit() { return \"${commit}\"; }
}  // namespace zeb
")
set(old "")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
endif()
if(NOT old STREQUAL content)
  file(WRITE "${OUTPUT}" "${content}")
endif()
