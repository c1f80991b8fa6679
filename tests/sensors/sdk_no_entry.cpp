// A shared library that loads but does not export the sensor library's entry point.
extern "C" __attribute__((visibility("default"))) int TqvNotTheEntryPoint() {
    return 42;
}
