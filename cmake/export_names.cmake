# SPDX-License-Identifier: MIT
# tavro_export_names(OUT HEADER): the names of the export list in HEADER
# (the X(name) rows of TAVRO_EXPORT_NAMES in tavro.h), in the order written.
# Included by the build (the Windows .def) and by the -P scripts that check
# the DLL's export table and the import library.
function(tavro_export_names out header)
  file(READ "${header}" text)
  string(REGEX MATCHALL "\n  X\\([a-z_]+\\)" rows "${text}")
  set(names "")
  foreach(row IN LISTS rows)
    string(REGEX REPLACE "^\n  X\\(([a-z_]+)\\)$" "\\1" name "${row}")
    list(APPEND names "${name}")
  endforeach()
  set(${out} "${names}" PARENT_SCOPE)
endfunction()
