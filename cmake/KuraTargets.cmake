# A subsystem is one library made of every .cpp directly in its folder.
# Each library is one folder; sub-folders are not globbed in.
# The sanitized test build links them as shared libraries: every test executable then
# carries only its own code, where static copies of the sanitizers' check data made the
# build folder outgrow a small disk (some 60 MB in each of a hundred executables).
if(KURA_SHARED_LIBS)
  set(KURA_LIBRARY_KIND SHARED)
else()
  set(KURA_LIBRARY_KIND STATIC)
endif()
function(kura_library name dir)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*.cpp)
  if(NOT sources)
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${CMAKE_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
    return()
  endif()
  add_library(${name} ${KURA_LIBRARY_KIND} ${sources})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
endfunction()

# Every tests/<dir>/*_test.cpp is its own executable, so one broken or slow test
# file never holds the others back; they share the helpers in tests/common.
function(kura_tests dir lib)
  # ENV: one NAME=value setting for every test of the folder.
  cmake_parse_arguments(ARG "" "ENV" "" ${ARGN})
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*_test.cpp)
  foreach(src ${tests})
    get_filename_component(stem ${src} NAME_WE)
    string(REPLACE "/" "_" prefix ${dir})
    set(exe ${prefix}_${stem})
    add_executable(${exe} ${src})
    target_link_libraries(${exe} PRIVATE ${lib} kura_test_common kura_test_main GTest::gmock)
    target_sources(${exe} PRIVATE ${CMAKE_SOURCE_DIR}/tests/common/main/SanitizerOptions.cpp)
    target_compile_definitions(${exe} PRIVATE KURA_TEST_DATA="${CMAKE_SOURCE_DIR}/tests/data")
    gtest_discover_tests(${exe} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300 ENVIRONMENT "${ARG_ENV}")
  endforeach()
endfunction()

# The tests of every tests/<dir>/*_test.cpp (or of the executables named) once more,
# with the test programs' temporary folder, where their folders lie, named `folder`
# (--folder-name, tests/common/main/TestMain.cpp); each test's name gets the suffix.
function(kura_tests_in_folder folder suffix)
  # ENV: one NAME=value setting for these tests.
  cmake_parse_arguments(ARG "" "DIR;ENV" "TARGETS" ${ARGN})
  set(exes ${ARG_TARGETS})
  if(ARG_DIR)
    file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${ARG_DIR}/*_test.cpp)
    string(REPLACE "/" "_" prefix ${ARG_DIR})
    foreach(src ${tests})
      get_filename_component(stem ${src} NAME_WE)
      list(APPEND exes ${prefix}_${stem})
    endforeach()
  endif()
  foreach(exe ${exes})
    gtest_discover_tests(${exe} TEST_SUFFIX ${suffix} EXTRA_ARGS --folder-name=${folder} DISCOVERY_TIMEOUT 60
                         PROPERTIES TIMEOUT 300 ENVIRONMENT "${ARG_ENV}")
  endforeach()
endfunction()

# Every bench links the libraries given (kura_core when none are).
function(kura_benchmarks dir)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  if(NOT ARG_LIBS)
    set(ARG_LIBS kura_core)
  endif()
  file(GLOB benches CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*_bench.cpp)
  foreach(src ${benches})
    get_filename_component(stem ${src} NAME_WE)
    add_executable(${stem} ${src})
    target_link_libraries(${stem} PRIVATE ${ARG_LIBS} benchmark::benchmark_main)
  endforeach()
endfunction()

# Every target links the libraries given; a library list that grows upward is harmless
# because static libraries contribute only what a target references.
function(kura_fuzzers dir)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  file(GLOB targets CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*_fuzz.cpp)
  foreach(src ${targets})
    get_filename_component(stem ${src} NAME_WE)
    add_executable(${stem} ${src})
    target_link_libraries(${stem} PRIVATE ${ARG_LIBS})
    target_link_options(${stem} PRIVATE -fsanitize=fuzzer)
  endforeach()
endfunction()
