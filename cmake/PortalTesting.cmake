# Test programs and modules.
#
# A module's suites (tests/<Name>Tests.cpp) are built into as few programs as their needs allow: one per
# combination of backend (virtual time by default, real threads on request) and ctest label. Every test still
# runs in its own process through gtest_discover_tests, so process-wide singletons start fresh in each test.
# Fewer, larger programs are what keeps the build affordable: each program links every library below it, and
# in a unity build the suites of one program share the parsing and code generation of the headers they include.
include(GoogleTest)
find_package(GTest REQUIRED)

# portal_add_test(NAME <exe> SOURCES <files...> LIBS <targets...> [REAL_THREADS] [LABELS <labels...>])
# Test programs start on the virtual dispatch backend (testing/TestMain.cpp) unless REAL_THREADS is given,
# which links the threaded main instead.
function(portal_add_test)
  if(NOT PORTAL_TESTS)
    return()
  endif()
  cmake_parse_arguments(T "REAL_THREADS" "NAME" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  if(T_REAL_THREADS)
    target_link_libraries(${T_NAME} PRIVATE portal_testing_threaded_main)
  else()
    target_link_libraries(${T_NAME} PRIVATE portal_testing_main)
  endif()
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock)
  # Test code is compiled without optimisation (the sanitizers stay on): optimising gtest-heavy code costs
  # twice the compile time and buys nothing, since the code under test lives in the optimised libraries.
  target_compile_options(${T_NAME} PRIVATE -O0)
  # Every test starts its program afresh, and a position-independent program of this size spends a good part
  # of its start applying its own relocations. ThreadSanitizer needs position-independent programs.
  if(NOT PORTAL_TSAN)
    target_link_options(${T_NAME} PRIVATE -no-pie)
  endif()
  # An empty LABELS value would swallow the next property name, so pass it only when set.
  set(label_props)
  if(T_LABELS)
    set(label_props LABELS "${T_LABELS}")
  endif()
  gtest_discover_tests(${T_NAME}
    TEST_PREFIX "${T_NAME}."
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 300 ${label_props} ENVIRONMENT "PORTAL_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
endfunction()

# portal_module(NAME <target> [SOURCE_DIR <folder>] [LIBS <public deps...>] [TEST_LIBS <extra test deps...>]
#               [REAL_THREADS_TESTS <names...>] [CONCURRENCY_TESTS <names...>] [EXCLUDE <files...>])
# A module is the *.cpp files of its folder (or of SOURCE_DIR below it) as one static library, and its suites
# tests/<Name>Tests.cpp in the programs:
#   <target>_tests                        virtual time
#   <target>_threaded_tests               REAL_THREADS_TESTS
#   <target>_concurrency_tests            CONCURRENCY_TESTS on virtual time
#   <target>_threaded_concurrency_tests   in both lists
# CONCURRENCY_TESTS get the ctest label "concurrency", which `scripts/test --tsan` runs.
# portal_test_program(VAR <target> <Name>) names the program that holds suite <Name>.
function(portal_module)
  cmake_parse_arguments(M "" "NAME;SOURCE_DIR" "LIBS;TEST_LIBS;REAL_THREADS_TESTS;CONCURRENCY_TESTS;EXCLUDE" ${ARGN})
  set(dir ${CMAKE_CURRENT_SOURCE_DIR})
  if(M_SOURCE_DIR)
    set(dir ${CMAKE_CURRENT_SOURCE_DIR}/${M_SOURCE_DIR})
  endif()
  file(GLOB sources CONFIGURE_DEPENDS ${dir}/*.cpp)
  foreach(ex IN LISTS M_EXCLUDE)
    list(REMOVE_ITEM sources ${dir}/${ex})
  endforeach()
  if(sources)
    add_library(${M_NAME} STATIC ${sources})
    target_link_libraries(${M_NAME} PUBLIC ${M_LIBS})
  else()
    # A header-only module (or one whose sources are still to come).
    add_library(${M_NAME} INTERFACE)
    target_link_libraries(${M_NAME} INTERFACE ${M_LIBS})
  endif()

  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/*Tests.cpp)
  foreach(kind tests threaded_tests concurrency_tests threaded_concurrency_tests)
    set(srcs_${kind})
  endforeach()
  foreach(t IN LISTS tests)
    get_filename_component(base ${t} NAME_WE)
    string(REGEX REPLACE "Tests$" "" base ${base})
    set(kind tests)
    if(base IN_LIST M_CONCURRENCY_TESTS)
      set(kind concurrency_tests)
    endif()
    if(base IN_LIST M_REAL_THREADS_TESTS)
      set(kind threaded_${kind})
    endif()
    list(APPEND srcs_${kind} ${t})
    set_property(GLOBAL PROPERTY PORTAL_TEST_PROGRAM_${M_NAME}_${base} ${M_NAME}_${kind})
  endforeach()
  foreach(kind tests threaded_tests concurrency_tests threaded_concurrency_tests)
    if(NOT srcs_${kind})
      continue()
    endif()
    set(extra)
    if(kind MATCHES "^threaded_")
      list(APPEND extra REAL_THREADS)
    endif()
    if(kind MATCHES "concurrency")
      list(APPEND extra LABELS concurrency)
    endif()
    portal_add_test(NAME ${M_NAME}_${kind} SOURCES ${srcs_${kind}} LIBS ${M_NAME} ${M_TEST_LIBS} ${extra})
  endforeach()
endfunction()

# portal_test_program(<var> <module target> <suite name>): the test program that holds tests/<Name>Tests.cpp
# of that module, or "" when there is none (tests not built, or no such suite).
function(portal_test_program var module suite)
  get_property(program GLOBAL PROPERTY PORTAL_TEST_PROGRAM_${module}_${suite})
  if(program AND TARGET ${program})
    set(${var} ${program} PARENT_SCOPE)
  else()
    set(${var} "" PARENT_SCOPE)
  endif()
endfunction()

# portal_test_helper(NAME <exe> SOURCES <files...> LIBS <targets...> MODULE <module> SUITE <Name> DEFINE <macro>)
# A program that a suite starts (a second launch on the same app home, for example): built with the tests, and
# its path handed to the test program holding the suite as the macro.
function(portal_test_helper)
  if(NOT PORTAL_TESTS)
    return()
  endif()
  cmake_parse_arguments(H "" "NAME;MODULE;SUITE;DEFINE" "SOURCES;LIBS" ${ARGN})
  add_executable(${H_NAME} ${H_SOURCES})
  target_link_libraries(${H_NAME} PRIVATE ${H_LIBS})
  portal_test_program(program ${H_MODULE} ${H_SUITE})
  if(program)
    add_dependencies(${program} ${H_NAME})
    target_compile_definitions(${program} PRIVATE ${H_DEFINE}="$<TARGET_FILE:${H_NAME}>")
  endif()
endfunction()
