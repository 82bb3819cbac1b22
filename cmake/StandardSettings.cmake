# Warnings and sanitizer switches that every target links.
add_library(standard_settings INTERFACE)
add_library(standard_warnings INTERFACE)

target_compile_options(standard_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast
  -Wcast-align -Woverloaded-virtual -Wnull-dereference -Wformat=2)

option(RESTORE_AGENT_WERROR "Treat warnings as errors" OFF)
if(RESTORE_AGENT_WERROR)
  target_compile_options(standard_warnings INTERFACE -Werror)
endif()

# SANITIZE is a comma-separated list handed to -fsanitize (address,undefined or thread).
set(SANITIZE "" CACHE STRING "Sanitizers to build with, for example address,undefined")
if(SANITIZE)
  target_compile_options(standard_settings INTERFACE
    -fsanitize=${SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  target_link_options(standard_settings INTERFACE -fsanitize=${SANITIZE})
endif()

target_link_libraries(standard_settings INTERFACE standard_warnings)
