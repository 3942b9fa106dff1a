# portal_add_test(NAME <exe> SOURCES <files...> LIBS <targets...> [REAL_THREADS] [LABELS <labels...>])
# One gtest program per module; every test runs in its own process through
# gtest_discover_tests, so process-wide singletons start fresh in each test.
# Test programs start on the virtual dispatch backend (testing/TestMain.cpp)
# unless REAL_THREADS is given, which links the threaded main instead.
include(GoogleTest)
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

find_package(GTest REQUIRED)

# portal_module(NAME <target> [LIBS <public deps...>] [TEST_LIBS <extra test deps...>]
#               [REAL_THREADS_TESTS <names...>] [CONCURRENCY_TESTS <names...>] [EXCLUDE <files...>])
# CONCURRENCY_TESTS get the ctest label "concurrency", which `scripts/test --tsan` runs.
# A module is the *.cpp files of its folder as one static library, and one test
# program per tests/<Name>Tests.cpp (named <target>_<Name>), so a module's suites
# build and fail independently.
function(portal_module)
  cmake_parse_arguments(M "" "NAME" "LIBS;TEST_LIBS;REAL_THREADS_TESTS;CONCURRENCY_TESTS;EXCLUDE" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  foreach(ex IN LISTS M_EXCLUDE)
    list(REMOVE_ITEM sources ${CMAKE_CURRENT_SOURCE_DIR}/${ex})
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
  foreach(t IN LISTS tests)
    get_filename_component(base ${t} NAME_WE)
    string(REGEX REPLACE "Tests$" "" base ${base})
    set(extra)
    if(base IN_LIST M_REAL_THREADS_TESTS)
      list(APPEND extra REAL_THREADS)
    endif()
    if(base IN_LIST M_CONCURRENCY_TESTS)
      list(APPEND extra LABELS concurrency)
    endif()
    portal_add_test(NAME ${M_NAME}_${base} SOURCES ${t} LIBS ${M_NAME} ${M_TEST_LIBS} ${extra})
  endforeach()
endfunction()
