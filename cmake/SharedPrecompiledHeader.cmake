# Precompiled headers shared by a group of targets. With mingw-w64's GCC,
# parsing windows.h takes about 2 s of CPU and GoogleTest's header as much
# again, in every file that includes them: a precompiled header is read in a
# fraction of that. Making one costs several times the parse, so it is made
# once per group, by the group's first target, and reused by the others
# (REUSE_FROM). It is valid only with the flags it was made with, so every
# target of a group compiles with the same flags; CMake adds -Winvalid-pch,
# which reports a file that could not use it.

# ryn_share_pch(<group> <target> <headers>...)
function(ryn_share_pch group target)
  get_property(owner GLOBAL PROPERTY RYN_PCH_OWNER_${group})
  if(owner)
    target_precompile_headers(${target} REUSE_FROM ${owner})
  else()
    target_precompile_headers(${target} PRIVATE ${ARGN})
    set_property(GLOBAL PROPERTY RYN_PCH_OWNER_${group} ${target})
  endif()
endfunction()

# ryn_windows_pch(<target>...): Windows-only targets of the product, whose
# files all include windows.h.
function(ryn_windows_pch)
  foreach(target ${ARGN})
    ryn_share_pch(windows ${target} <windows.h>)
  endforeach()
endfunction()
