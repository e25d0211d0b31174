# Shared build settings and helpers for every Velmo target.

find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
find_package(GTest REQUIRED)
include(GoogleTest)

# Standalone Asio with coroutines; the same definitions everywhere so one
# precompiled header serves every engine target.
add_compile_definitions(ASIO_STANDALONE ASIO_NO_DEPRECATED)

set(VELMO_WARNINGS -Wall -Wextra -Werror)

if(VELMO_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# One precompiled header for the heavy engine headers (Asio, the standard library).
add_library(velmo_pch STATIC ${CMAKE_SOURCE_DIR}/cmake/pch.cpp)
target_compile_options(velmo_pch PRIVATE ${VELMO_WARNINGS})
target_link_libraries(velmo_pch PUBLIC Threads::Threads)
target_precompile_headers(velmo_pch PRIVATE ${CMAKE_SOURCE_DIR}/cmake/VelmoPch.h)

# velmo_library(NAME SOURCES ... [LIBS ...] [NO_PCH])
function(velmo_library name)
  cmake_parse_arguments(ARG "NO_PCH" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
  target_compile_options(${name} PRIVATE ${VELMO_WARNINGS})
  target_link_libraries(${name} PUBLIC ${ARG_LIBS} Threads::Threads)
  if(NOT ARG_NO_PCH)
    target_precompile_headers(${name} REUSE_FROM velmo_pch)
  endif()
endfunction()

# velmo_tests(NAME LABEL label SOURCES ... [LIBS ...] [NO_PCH] [ENV ...])
# One GoogleTest executable; each test case becomes a CTest test carrying the label.
function(velmo_tests name)
  cmake_parse_arguments(ARG "NO_PCH" "LABEL;TIMEOUT" "SOURCES;LIBS;ENV" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests)
  target_compile_options(${name} PRIVATE ${VELMO_WARNINGS})
  target_compile_definitions(${name} PRIVATE
    VELMO_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    VELMO_TESTDATA_DIR="${CMAKE_SOURCE_DIR}/tests/fixtures")
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  if(NOT ARG_NO_PCH)
    target_precompile_headers(${name} REUSE_FROM velmo_pch)
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    PROPERTIES LABELS ${ARG_LABEL} TIMEOUT ${ARG_TIMEOUT} ENVIRONMENT "${ARG_ENV}")
endfunction()
