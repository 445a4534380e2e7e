# A cross-build runs embedtext during the build, so it is compiled for the build machine with that
# machine's compiler. Sets TQ330_EMBEDTEXT to the program, which tq330_embed_text runs.
find_program(TQ330_HOST_CXX NAMES c++ g++ clang++ REQUIRED NO_CMAKE_FIND_ROOT_PATH)
set(TQ330_EMBEDTEXT "${CMAKE_BINARY_DIR}/host/embedtext")
set(host_flags -std=c++20 -O2 -Wall -Wextra)
if(TQ330_WERROR)
  list(APPEND host_flags -Werror)
endif()
add_custom_command(
  OUTPUT "${TQ330_EMBEDTEXT}"
  COMMAND "${CMAKE_COMMAND}" -E make_directory "${CMAKE_BINARY_DIR}/host"
  COMMAND "${TQ330_HOST_CXX}" ${host_flags} "${CMAKE_SOURCE_DIR}/tools/embedtext/embedtext.cpp"
          -o "${TQ330_EMBEDTEXT}"
  DEPENDS "${CMAKE_SOURCE_DIR}/tools/embedtext/embedtext.cpp"
  COMMENT "Building embedtext for the build machine"
  VERBATIM)
add_custom_target(host_embedtext ALL DEPENDS "${TQ330_EMBEDTEXT}")
