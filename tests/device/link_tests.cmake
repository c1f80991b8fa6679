# Tests of the serial ports, the serial link and hotplug. Those that need a display talk to the
# display emulator over pseudo-terminals.
tqv_add_test(serial_ports_test
  SOURCES serial_ports_test.cpp
  LIBS tqv_platform)
tqv_add_test(serial_link_test
  SOURCES serial_link_test.cpp
  LIBS tqv_device)

tqv_add_test(device_events_test THREADS
  SOURCES device_events_test.cpp
  LIBS tqv_device tqv_fake_hidapi)

tqv_add_test(link_stress_test THREADS
  SOURCES link_stress_test.cpp
  LIBS tqv_device tqv_fake_hidapi)

foreach(test_target serial_link_test device_events_test link_stress_test)
  add_dependencies(${test_target} display-emulator)
  target_compile_definitions(${test_target} PRIVATE
    TQV_DISPLAY_EMULATOR="$<TARGET_FILE:display-emulator>")
endforeach()

if(TQV_FUZZ)
  tqv_add_fuzzer(uevent_fuzzer
    SOURCES uevent_fuzzer.cpp
    LIBS tqv_device tqv_fake_hidapi
    CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/uevent_corpus)
endif()
