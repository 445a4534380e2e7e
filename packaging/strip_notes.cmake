# Run by cpack after it staged the installed files (CPACK_PRE_BUILD_SCRIPTS). The stripped programs
# still hold the .comment and .note sections (the compilers' version strings), which nothing reads
# at run time; Debian's own packages leave them out, and so does this one.
# Every package's staging folder (one per component: <temporary>/<component>/usr/bin/...).
file(GLOB_RECURSE programs LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*")
list(FILTER programs INCLUDE REGEX "/bin/[^/]+$")
foreach(program IN LISTS programs)
  execute_process(COMMAND "${CPACK_TQ330_STRIP}" --remove-section=.comment --remove-section=.note "${program}"
                  RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "Could not strip ${program}")
  endif()
endforeach()
