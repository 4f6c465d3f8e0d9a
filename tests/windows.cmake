# Windows part of tests/CMakeLists.txt: the tests that need no Linux
# service, built with MinGW and run under Wine (see `make test-windows`),
# and the tests of the Windows services themselves (tests/win/).

# GoogleTest for Windows, built from the Debian sources.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
foreach(target gtest gtest_main gmock gmock_main)
  target_compile_options(${target} PRIVATE -Wno-error)
endforeach()
set(ZLIB_USE_STATIC_LIBS ON)   # libz-mingw-w64-dev: the CRC oracle of two tests
find_package(ZLIB REQUIRED)
include(GoogleTest)

file(GLOB Q9_TEST_SUPPORT CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/support/*.cpp)
q9_library(q9testsupport ${Q9_TEST_SUPPORT})
q9_link(q9testsupport q9app q9virtual GTest::gtest GTest::gmock ZLIB::ZLIB)

# The suite's files that use no Linux service.
set(Q9_PORTABLE_TESTS
  protocol_test update_procedure_test version_check_test dialog_logic_test virtual_device_test
  encoding_test midi_ports_test midi_system_test sysex_assembler_test dx_mtimer_test timer_service_test
  winmm_midi_test)
file(GLOB Q9_WINDOWS_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/win/*_test.cpp)
set(Q9_TEST_SOURCES ${Q9_WINDOWS_TESTS})
foreach(name ${Q9_PORTABLE_TESTS})
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${name}.cpp)
    list(APPEND Q9_TEST_SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/${name}.cpp)
  endif()
endforeach()

# Each test program runs once to list its tests, when ctest starts, not
# while building: under Wine that saves a start-up per program and build.
foreach(source ${Q9_TEST_SOURCES})
  get_filename_component(name ${source} NAME_WE)
  add_executable(${name} ${source})
  target_link_libraries(${name} PRIVATE q9testsupport GTest::gtest_main)
  # Each program runs through tools/wine-test-run.sh: a start that Wine fails
  # is tried again, and a pass that Wine kills afterwards counts as a pass.
  set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR
                        "bash;${CMAKE_SOURCE_DIR}/tools/wine-test-run.sh;${CMAKE_CROSSCOMPILING_EMULATOR}")
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120 PROPERTIES TIMEOUT 300 LABELS windows)
endforeach()

# Checks of the Windows programs under Wine: tests/win/*_test.sh, each a test.
file(GLOB Q9_SCRIPT_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/win/*_test.sh)
foreach(script ${Q9_SCRIPT_TESTS})
  get_filename_component(name ${script} NAME_WE)
  add_test(NAME ${name} COMMAND bash ${script} ${CMAKE_BINARY_DIR})
  set_tests_properties(${name} PROPERTIES TIMEOUT 600 SKIP_RETURN_CODE 77 LABELS windows
                       ENVIRONMENT "WINEPREFIX=${Q9_WINEPREFIX};WINEDEBUG=-all;WINEDLLOVERRIDES=winealsa.drv=d")
endforeach()

# The native dialog's test expects to be the first updater in the Wine
# prefix (instance 1, the plain title): nothing else runs beside it.
if(TEST native_dialog_test)
  set_tests_properties(native_dialog_test PROPERTIES RUN_SERIAL TRUE)
endif()
# The same for the command line's checks: the instance test takes all twenty
# numbers, the others expect number 1; the kernel under QEMU takes both cores.
foreach(name cli_wine_test cli_ctrl_c_test instance_wine_test kernel_wine_test)
  if(TEST ${name})
    set_tests_properties(${name} PROPERTIES RUN_SERIAL TRUE)
  endif()
endforeach()
