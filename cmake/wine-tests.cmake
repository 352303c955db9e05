# The Windows builds' tests, run by ctest under Wine: the toolchain names
# scripts/wine-run as the emulator, which starts a program through the Wine loader this
# machine needs, or ends with 77 (skipped, with the reason) for a width the machine
# does not run. Labels: wine (the test programs), driver (the pxusb kernel driver loaded
# under Wine), journey (the demo's real-input journey).
set(wine_run ${CMAKE_CROSSCOMPILING_EMULATOR})

# The test programs share one prefix, made fresh once per run.
set(wine_prefix ${CMAKE_BINARY_DIR}/wineprefix)
add_test(NAME wine_prefix COMMAND ${wine_run} --new-prefix)
add_test(NAME wine_end COMMAND ${wine_run} --end)
set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wineprefix)
set_tests_properties(wine_end PROPERTIES FIXTURES_CLEANUP wineprefix)
set_tests_properties(wine_prefix wine_end PROPERTIES
  LABELS wine SKIP_RETURN_CODE 77 ENVIRONMENT WINEPREFIX=${wine_prefix})

function(pxusb_wine_test target)  # one test program, run whole in the shared prefix
  add_test(NAME ${target} COMMAND ${target})
  set_tests_properties(${target} PROPERTIES LABELS wine SKIP_RETURN_CODE 77 TIMEOUT 900
    FIXTURES_REQUIRED wineprefix ENVIRONMENT WINEPREFIX=${wine_prefix})
endfunction()

# The driver: installed and started in a prefix of its own, used by the real pxusbctl
# and by the driver suite, then stopped with its unload counters checked.
function(pxusb_driver_tests)
  set(step ${CMAKE_SOURCE_DIR}/scripts/test-driver)
  add_test(NAME driver_start COMMAND ${step} start ${PXUSB_WIDTH} ${CMAKE_BINARY_DIR})
  add_test(NAME driver_talk COMMAND ${step} talk ${PXUSB_WIDTH} ${CMAKE_BINARY_DIR})
  add_test(NAME driver_suite COMMAND pxtest_driver)
  add_test(NAME driver_unload COMMAND ${step} unload ${PXUSB_WIDTH} ${CMAKE_BINARY_DIR})
  set_tests_properties(driver_start PROPERTIES FIXTURES_SETUP driver)
  set_tests_properties(driver_unload PROPERTIES FIXTURES_CLEANUP driver)
  set_tests_properties(driver_talk driver_suite PROPERTIES FIXTURES_REQUIRED driver)
  set_tests_properties(driver_start driver_talk driver_suite driver_unload PROPERTIES
    LABELS driver SKIP_RETURN_CODE 77 TIMEOUT 900 RESOURCE_LOCK driver
    ENVIRONMENT "WINEPREFIX=${CMAKE_BINARY_DIR}/driver-prefix;PXUSB_REAL_DRIVER=1")
endfunction()

# The demo's journey with real X input on a virtual display (scripts/journey).
function(pxusb_journey_test)
  add_test(NAME demo_journey
    COMMAND ${CMAKE_SOURCE_DIR}/scripts/journey ${PXUSB_WIDTH} $<TARGET_FILE:pxusbdemo> ${CMAKE_BINARY_DIR}/demo)
  set_tests_properties(demo_journey PROPERTIES LABELS journey SKIP_RETURN_CODE 77 TIMEOUT 900
    ENVIRONMENT WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix-demo)
endfunction()
