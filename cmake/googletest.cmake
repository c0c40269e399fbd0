# GoogleTest from the Debian sources, built with this build's toolchain.
set(VDQRN_GTEST_SRC /usr/src/googletest CACHE PATH "GoogleTest sources")
if(NOT EXISTS ${VDQRN_GTEST_SRC}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources missing: install googletest (scripts/test.sh does)")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(${VDQRN_GTEST_SRC} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
# Compiled without optimisation, as the tests are (tests/CMakeLists.txt).
foreach(library gtest gtest_main gmock gmock_main)
  target_compile_options(${library} PRIVATE -O0)
endforeach()
include(GoogleTest)

# vdqrn_gtest(NAME SOURCES... LIBS ... [DEPENDS ...] [TEST_PROPERTIES key value ...]):
# a test executable, registered with ctest, its tests given the properties.
# Natively every test case is its own ctest test; under wine the executable is
# one ctest test, since each wine start costs a noticeable fraction of a second.
function(vdqrn_gtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;DEPENDS;TEST_PROPERTIES" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  vdqrn_warnings(${name})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gmock GTest::gtest_main)
  if(ARG_DEPENDS)
    add_dependencies(${name} ${ARG_DEPENDS})
  endif()
  if(CMAKE_CROSSCOMPILING AND NOT CMAKE_CROSSCOMPILING_EMULATOR AND NOT VDQRN_RUNS_NATIVELY)
    return() # built only: this target cannot run here
  endif()
  if(CMAKE_CROSSCOMPILING_EMULATOR)
    add_test(NAME ${name} COMMAND ${name} WORKING_DIRECTORY ${VDQRN_BIN_DIR})
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${VDQRN_TEST_ENV}" TIMEOUT 600
      ${ARG_TEST_PROPERTIES})
  else()
    gtest_discover_tests(${name} WORKING_DIRECTORY ${VDQRN_BIN_DIR}
      DISCOVERY_MODE PRE_TEST PROPERTIES TIMEOUT 120 ${ARG_TEST_PROPERTIES})
  endif()
endfunction()
