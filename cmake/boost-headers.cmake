# tq330_boost_headers: Boost's header-only libraries (Beast, Asio) from the build machine's
# /usr/include/boost (Debian's libboost-dev). A native build finds them on the compiler's own path. A
# cross-build must not search the build machine's /usr/include as a whole (its C library's headers
# would shadow the target's), so it gets a folder of its own that holds only a link to boost/.
set(TQ330_BOOST_INCLUDE /usr/include CACHE PATH "The folder that holds boost/ (Debian: libboost-dev)")
if(NOT EXISTS "${TQ330_BOOST_INCLUDE}/boost/beast.hpp")
  message(FATAL_ERROR "Boost.Beast not found in ${TQ330_BOOST_INCLUDE}/boost: install libboost-dev "
                      "(scripts/setup.sh build), or set TQ330_BOOST_INCLUDE")
endif()
add_library(tq330_boost_headers INTERFACE)
if(CMAKE_CROSSCOMPILING OR NOT TQ330_BOOST_INCLUDE STREQUAL "/usr/include")
  set(only_boost "${CMAKE_BINARY_DIR}/boost-include")
  file(MAKE_DIRECTORY "${only_boost}")
  file(CREATE_LINK "${TQ330_BOOST_INCLUDE}/boost" "${only_boost}/boost" SYMBOLIC)
  target_include_directories(tq330_boost_headers SYSTEM INTERFACE "${only_boost}")
endif()
if(WIN32)
  # Asio's Winsock: ws2_32 and mswsock (AcceptEx), both Windows' own DLLs; windows.h without its extras.
  target_link_libraries(tq330_boost_headers INTERFACE ws2_32 mswsock)
  target_compile_definitions(tq330_boost_headers INTERFACE WIN32_LEAN_AND_MEAN NOMINMAX)
endif()
