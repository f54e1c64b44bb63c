# quarel-lobby: the lobby service. Its logic (src/lobbyd/: announcements, checks, what is published,
# the page's files) is the library quarel_lobbyd, which makes no system calls, like the server core it
# builds on; the program (src/lobbyd_main/) wires it to the platform layer's sockets, HTTP listener and
# files.
file(GLOB QUAREL_LOBBYD_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/lobbyd/*.cpp)
file(GLOB QUAREL_LOBBYD_ASSETS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/lobbyd/assets/*)
set(QUAREL_LOBBYD_ASSETS_CPP ${CMAKE_BINARY_DIR}/generated/lobbyd_assets.cpp)
string(REPLACE ";" "|" QUAREL_LOBBYD_ASSETS_ARG "${QUAREL_LOBBYD_ASSETS}")
add_custom_command(
  OUTPUT ${QUAREL_LOBBYD_ASSETS_CPP}
  COMMAND ${CMAKE_COMMAND} "-DASSETS=${QUAREL_LOBBYD_ASSETS_ARG}" -DOUTPUT=${QUAREL_LOBBYD_ASSETS_CPP} -DFOLDER=lobbyd
          -P ${CMAKE_SOURCE_DIR}/cmake/embed_assets.cmake
  DEPENDS ${QUAREL_LOBBYD_ASSETS} ${CMAKE_SOURCE_DIR}/cmake/embed_assets.cmake
  COMMENT "Embedding the lobby page"
  VERBATIM)
add_library(quarel_lobbyd STATIC ${QUAREL_LOBBYD_SOURCES} ${QUAREL_LOBBYD_ASSETS_CPP})
target_link_libraries(quarel_lobbyd PUBLIC quarel_core)

add_executable(quarel-lobby ${CMAKE_SOURCE_DIR}/src/lobbyd_main/main.cpp ${CMAKE_SOURCE_DIR}/src/lobbyd_main/service.cpp)
target_link_libraries(quarel-lobby PRIVATE quarel_lobbyd quarel_platform)
