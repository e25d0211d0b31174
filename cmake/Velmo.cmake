# Shared build settings and helpers for every Velmo target.

find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
# Off, the build needs only the application's own packages (what `make install` builds).
option(VELMO_TESTS "Build the tests and their harnesses" ON)
if(VELMO_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()

# Standalone Asio with coroutines; the same definitions everywhere so one
# precompiled header serves every engine target.
# Asio picks its allocator by whether a standard header came first; pin it so targets with and
# without the precompiled header agree.
add_compile_definitions(ASIO_STANDALONE ASIO_NO_DEPRECATED ASIO_DISABLE_STD_ALIGNED_ALLOC)
# Asio switches coroutines on for clang only with libc++; Debian's clang builds against
# libstdc++, whose <coroutine> serves clang as well.
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  add_compile_definitions(ASIO_HAS_CO_AWAIT=1 ASIO_HAS_STD_COROUTINE=1)
endif()
# pkg-config libraries bring -pthread; every target uses it so the precompiled header stays valid.
add_compile_options(-pthread)

# Warnings fail the build only where the Makefile asks (tests, CI, development): a packager's
# newer or older compiler may warn where ours does not.
option(VELMO_WERROR "Treat compiler warnings as errors" OFF)
set(VELMO_WARNINGS -Wall -Wextra)
if(VELMO_WERROR)
  list(APPEND VELMO_WARNINGS -Werror)
endif()
# At -O3, GCC 12 takes the standard string code that the tests' "a" + std::string and
# protobuf's add_x("a") inline for overlapping, oversized or out-of-bounds copies (each check
# silenced names the next). The application keeps these checks, and so do the -O2 builds where
# warnings are errors.
set(VELMO_TEST_WARNINGS ${VELMO_WARNINGS})
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  foreach(check restrict stringop-overflow array-bounds)
    list(APPEND VELMO_TEST_WARNINGS $<$<CONFIG:Release>:-Wno-${check}>)
  endforeach()
endif()

option(VELMO_FUZZ "Build the fuzz targets (clang), with every library instrumented" OFF)
# A fuzzing build instruments every library for coverage, so the fuzz targets can link the
# engine's own libraries and still steer by what they reach inside them.
if(VELMO_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "VELMO_FUZZ needs clang (libFuzzer)")
  endif()
  # clang 14 cannot emit the function-type check's prologue for coroutines ("Cannot represent
  # a difference across sections"), so that one check is left out.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize=function
    -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

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
  target_compile_options(${name} PRIVATE ${VELMO_TEST_WARNINGS})
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

# velmo_folder_library(NAME LIBS ...): every .cpp of the calling folder, so several people
# can add files to one folder without touching its CMakeLists.txt.
function(velmo_folder_library name)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  velmo_library(${name} SOURCES ${sources} LIBS ${ARG_LIBS})
endfunction()

# velmo_folder_tests(PREFIX LIBS ...): the tests of the calling folder, one executable per label:
#   *IntegrationTest.cpp -> PREFIX_integration_tests (label integration, loopback)
#   *AvahiTest.cpp       -> PREFIX_avahi_tests       (label avahi, private network namespaces)
#   other *Test.cpp      -> PREFIX_unit_tests        (label unit)
# Other .cpp files of the folder (helpers) join every executable.
function(velmo_folder_tests prefix)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  file(GLOB all CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  set(unit "")
  set(integration "")
  set(avahi "")
  set(helpers "")
  foreach(f ${all})
    if(f MATCHES "IntegrationTest\\.cpp$")
      list(APPEND integration ${f})
    elseif(f MATCHES "AvahiTest\\.cpp$")
      list(APPEND avahi ${f})
    elseif(f MATCHES "Test\\.cpp$")
      list(APPEND unit ${f})
    else()
      list(APPEND helpers ${f})
    endif()
  endforeach()
  foreach(label unit integration avahi)
    if(${label})
      velmo_tests(${prefix}_${label}_tests LABEL ${label}
        SOURCES ${${label}} ${helpers}
        LIBS ${ARG_LIBS})
    endif()
  endforeach()
endfunction()
