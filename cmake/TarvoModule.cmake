# tarvo_module(NAME DIR [SUBDIRS ...] [EXCLUDE ...] [DEPS ...]): one static
# library per source folder; every .cpp in the folder (not in sub-folders but
# those named, not the files excluded: an entry point) belongs to it.
function(tarvo_module name dir)
  cmake_parse_arguments(M "" "" "DEPS;SUBDIRS;EXCLUDE" ${ARGN})
  set(globs ${dir}/*.cpp)
  foreach(sub IN LISTS M_SUBDIRS)
    list(APPEND globs ${dir}/${sub}/*.cpp)
  endforeach()
  file(GLOB srcs CONFIGURE_DEPENDS ${globs})
  foreach(file IN LISTS M_EXCLUDE)
    list(REMOVE_ITEM srcs ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/${file})
  endforeach()
  add_library(${name} STATIC ${srcs})
  target_link_libraries(${name} PUBLIC tarvo_options ${M_DEPS})
endfunction()

# tarvo_test(NAME DIR [DEPS ...]): one GoogleTest executable per test folder.
function(tarvo_test name dir)
  cmake_parse_arguments(T "" "" "DEPS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
  add_executable(${name} ${srcs})
  target_link_libraries(${name} PRIVATE tarvo_options tarvo_testsupport ${T_DEPS} GTest::gmock GTest::gtest_main)
  # Tests that drive the real binary need it built; the others do not wait for it.
  if(name IN_LIST TARVO_BINARY_TESTS)
    add_dependencies(${name} tarvo)
  endif()
  set(serial FALSE)
  if(name IN_LIST TARVO_SERIAL_TESTS)
    set(serial TRUE)
  endif()
  # The binary and source paths reach the tests through compiled-in defaults
  # (tests/support), so no environment needs passing here.
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    PROPERTIES RUN_SERIAL ${serial} LABELS ${name})
endfunction()
