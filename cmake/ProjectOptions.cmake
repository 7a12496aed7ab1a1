# Shared compile settings, consumed as INTERFACE targets so every library and test links the
# same flags instead of repeating them.

add_library(brannoc_options INTERFACE)
target_compile_features(brannoc_options INTERFACE cxx_std_17)

add_library(brannoc_warnings INTERFACE)
target_compile_options(brannoc_warnings INTERFACE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor
                                                  -Wold-style-cast -Wcast-align -Wunused -Woverloaded-virtual)

add_library(brannoc_sanitizers INTERFACE)
if(BRANNOC_SANITIZER STREQUAL "address")
  target_compile_options(brannoc_sanitizers INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer
                                                      -fno-sanitize-recover=undefined)
  target_link_options(brannoc_sanitizers INTERFACE -fsanitize=address,undefined)
elseif(BRANNOC_SANITIZER STREQUAL "thread")
  # GCC warns that TSan does not model the fences inside Boost.Asio; the report is about TSan, not us.
  target_compile_options(brannoc_sanitizers INTERFACE -fsanitize=thread -fno-omit-frame-pointer
                                                      $<$<CXX_COMPILER_ID:GNU>:-Wno-tsan>)
  target_link_options(brannoc_sanitizers INTERFACE -fsanitize=thread)
elseif(NOT BRANNOC_SANITIZER STREQUAL "")
  message(FATAL_ERROR "BRANNOC_SANITIZER must be empty, address or thread")
endif()

# One call gives a project target all three.
function(brannoc_target_defaults target)
  target_link_libraries(${target} PRIVATE brannoc_options brannoc_warnings brannoc_sanitizers)
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()
