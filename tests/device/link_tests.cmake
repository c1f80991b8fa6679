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
  add_executable(uevent_fuzzer uevent_fuzzer.cpp)
  target_link_libraries(uevent_fuzzer PRIVATE tqv_device tqv_fake_hidapi)
  target_compile_options(uevent_fuzzer PRIVATE -fsanitize=fuzzer)
  target_link_options(uevent_fuzzer PRIVATE -fsanitize=fuzzer)
  tqv_warnings(uevent_fuzzer)

  # New inputs go to a corpus folder in the build tree; the committed seeds are only read.
  set(uevent_corpus_out ${CMAKE_CURRENT_BINARY_DIR}/uevent_corpus)
  file(MAKE_DIRECTORY ${uevent_corpus_out})
  add_test(NAME uevent_fuzzer_run
    COMMAND uevent_fuzzer -max_total_time=10 -timeout=10 -rss_limit_mb=1024
      -artifact_prefix=${CMAKE_CURRENT_BINARY_DIR}/uevent_fuzzer-
      ${uevent_corpus_out} ${CMAKE_CURRENT_SOURCE_DIR}/uevent_corpus)
  set_tests_properties(uevent_fuzzer_run PROPERTIES TIMEOUT 120)
endif()
