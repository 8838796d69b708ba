// The SIS/SISX layer's initialisation. Until its readers join the module the
// layer holds nothing, so bringing it up only counts; the module frame
// already calls it in its place in the order.
#include <cstdint>
#include <mutex>

namespace {
std::mutex g_sisLock;
uint32_t g_sisCount = 0;
}  // namespace

extern "C" {

__attribute__((visibility("default"))) int32_t SisSdkLibInit() {
  std::lock_guard lock(g_sisLock);
  return static_cast<int32_t>(++g_sisCount);
}

__attribute__((visibility("default"))) int32_t SisSdkLibDeinit() {
  std::lock_guard lock(g_sisLock);
  if (g_sisCount == 0) return 0;
  return static_cast<int32_t>(--g_sisCount);
}

}  // extern "C"
