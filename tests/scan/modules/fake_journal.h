// What the test-only modules did, seen by the tests: one journal of lines
// and a few switches, in a small shared library that the tests and every
// test-only module link (so all of them see the same instance).
#pragma once

#include <string>
#include <vector>

#define FAKES_API __attribute__((visibility("default")))

namespace fakes {

FAKES_API void record(const std::string& line);
FAKES_API std::vector<std::string> lines();
FAKES_API void clear();

// Switches the tests set and the modules read; 0 when never set.
FAKES_API void set(const std::string& key, int value);
FAKES_API int get(const std::string& key);

// Objects (scanners, readers) created and not yet destroyed.
FAKES_API void adjustLive(int delta);
FAKES_API int live();

}  // namespace fakes
