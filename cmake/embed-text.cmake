# tq330_embed_text(<output> <file> <name> <header>): the C++ source <output> (in the calling folder's
# build folder), made at build time by tools/embedtext, that defines ac<name> and <name>Length as
# <header> declares them, holding <file> byte for byte; made again whenever the file or the tool
# changes. A relative <file> is taken from the calling folder.
function(tq330_embed_text output file name header)
  # The tool's target; a cross-build sets TQ330_EMBEDTEXT to the build machine's program. Decided
  # here, since the function is called from folders that do not see each other's variables.
  set(tool embedtext)
  if(TQ330_EMBEDTEXT)
    set(tool "${TQ330_EMBEDTEXT}")
  endif()
  get_filename_component(input "${file}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
  if(NOT EXISTS "${input}")
    message(FATAL_ERROR "${input} not found: nothing to embed")
  endif()
  add_custom_command(
    OUTPUT "${CMAKE_CURRENT_BINARY_DIR}/${output}"
    COMMAND ${tool} "${input}" "${CMAKE_CURRENT_BINARY_DIR}/${output}" ${name} ${header}
    DEPENDS "${input}" ${tool}
    COMMENT "Embedding ${input}"
    VERBATIM)
endfunction()
