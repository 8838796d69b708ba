// The tests map scan.dll's import of platform.dll from the build folder
// (the test program links it) while the engine loads the install folder's
// copy by path for the ignore list: two files, so two copies of the same
// library, each with its own exported globals. On the handset, and when
// the session layer loads the engine from the install folder, both are the
// same file and the same module. The sanitizer's one-definition check would
// report the test layout itself, so it is off for this program.
extern "C" __attribute__((visibility("default"), used)) const char* __asan_default_options() {
  return "detect_odr_violation=0";
}
