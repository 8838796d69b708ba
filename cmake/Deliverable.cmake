# nx_deliverable(NAME SOURCES...) builds a handset module named exactly as the
# handset names it (NAME.dll) and places it in the install image.
function(nx_deliverable name)
  add_library(${name} SHARED ${ARGN})
  set_target_properties(${name} PROPERTIES
    PREFIX "" SUFFIX ".dll"
    LIBRARY_OUTPUT_DIRECTORY ${NX_IMAGE_DIR}
    # A module finds platform.dll and libce.so beside itself in the image.
    BUILD_RPATH "$ORIGIN"
    INSTALL_RPATH "$ORIGIN")
  target_link_libraries(${name} PRIVATE ce)
  target_link_options(${name} PRIVATE -Wl,--no-undefined)
endfunction()

# nx_test(NAME SOURCES... [LIBS ...] [LABELS label]) adds one GoogleTest
# executable to CTest. One label per program: gtest_discover_tests cannot carry
# a list-valued property through to the tests it finds.
function(nx_test name)
  cmake_parse_arguments(T "" "" "LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE ce nx_testkit GTest::gtest GTest::gtest_main Threads::Threads ${T_LIBS})
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "${T_LABELS}"
    ENVIRONMENT "NX_TEST_BIN_DIR=${CMAKE_BINARY_DIR}")
endfunction()
