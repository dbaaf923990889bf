# SPDX-License-Identifier: MIT
# Every source, header, script and CMake file that git tracks begins with
# its licence's SPDX line in its own comment syntax (after a "#!" line where
# there is one): "// SPDX-License-Identifier: MIT" or "/* ... */" in C and
# C++, "# SPDX-License-Identifier: MIT" in shell, Python, CMake and make.
# Files added later are caught as they are tracked.
#
#   cmake -DGIT=<git> -DSOURCE=<source dir> -P spdx.cmake

cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND "${GIT}" -c core.quotepath=off -C "${SOURCE}" ls-files
  OUTPUT_VARIABLE tracked OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "git ls-files failed in ${SOURCE}")
endif()
string(REPLACE "\n" ";" files "${tracked}")
set(c_like "[.](c|cc|cpp|h|hpp)(\\.in)?$|[.]rc[.]in$")
set(hash_like "[.](sh|py|bash|cmake)$|[.]cmake[.]in$|(^|/)CMakeLists[.]txt$|(^|/)Makefile$")
set(missing "")
set(checked 0)
foreach(f IN LISTS files)
  if(f STREQUAL "" OR IS_SYMLINK "${SOURCE}/${f}" OR IS_DIRECTORY "${SOURCE}/${f}")
    continue()
  endif()
  file(STRINGS "${SOURCE}/${f}" head LIMIT_COUNT 2 LIMIT_INPUT 4096)
  list(LENGTH head n)
  set(first "")
  set(second "")
  if(n GREATER 0)
    list(GET head 0 first)
  endif()
  if(n GREATER 1)
    list(GET head 1 second)
  endif()
  if(f MATCHES "${c_like}")
    set(want "^(// |/[*] )SPDX-License-Identifier: MIT( [*]/)?$")
  elseif(f MATCHES "${hash_like}" OR first MATCHES "^#!")
    set(want "^# SPDX-License-Identifier: MIT$")
  else()
    continue()
  endif()
  set(line "${first}")
  if(first MATCHES "^#!")
    set(line "${second}")
  endif()
  math(EXPR checked "${checked} + 1")
  if(NOT line MATCHES "${want}")
    list(APPEND missing "${f}")
  endif()
endforeach()
if(missing)
  string(REPLACE ";" "\n  " text "${missing}")
  message(FATAL_ERROR "these files lack the SPDX line at their top:\n  ${text}")
endif()
message(STATUS "${checked} files begin with SPDX-License-Identifier: MIT")
