// A module following the module frame, built in several flavours for the
// loader tests: one that counts, one whose first init fails, and ones that
// need a sibling module (and one entry point of it) from their own folder.
// Set-up and tear-down are written to the debug log so a test can see them
// after the module is gone.
#include "common/module_frame.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

nx::frame::LibUsage g_usage(FRAME_FILE, FRAME_PREFIX);
ce::HMODULE g_sibling = nullptr;
[[maybe_unused]] ce::FARPROC g_siblingCount = nullptr;

bool setUp() {
#ifdef FRAME_SETUP_FAILS
  WriteToLogW(g_szLogFileName, FRAME_FILE u": set up refused");
  return false;
#else
#ifdef FRAME_SIBLING
  g_sibling = nx::frame::loadSibling(FRAME_FILE, FRAME_SIBLING);
  if (!g_sibling) return false;
  if (!nx::frame::resolveEntries(g_sibling, FRAME_FILE, FRAME_SIBLING, {{FRAME_SIBLING_ENTRY, &g_siblingCount}})) {
    MyFreeLibrary(g_sibling);
    g_sibling = nullptr;
    return false;
  }
#endif
  WriteToLogW(g_szLogFileName, FRAME_FILE u": set up");
  return true;
#endif
}

void tearDown() {
  if (g_sibling) MyFreeLibrary(g_sibling);
  g_sibling = nullptr;
  WriteToLogW(g_szLogFileName, FRAME_FILE u": torn down");
}

}  // namespace

EXPORT int LibInit() { return g_usage.init(setUp); }
EXPORT int LibDeinit() { return g_usage.deinit(tearDown); }
EXPORT int FrameCount() { return g_usage.count(); }
