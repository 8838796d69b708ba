// A module with a version number, for load/replace/unload tests.
extern "C" __attribute__((visibility("default"))) int ModuleVersion() { return TEST_MODULE_VERSION; }
