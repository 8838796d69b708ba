#include "net_curl.h"

#include <dlfcn.h>

#include <cstdio>
#include <mutex>

namespace ce::detail {
namespace {

CurlApi g_api{};
const CurlApi* g_loaded = nullptr;
std::once_flag g_once;

template <class T>
bool bind(void* lib, const char* name, T& out) {
  out = reinterpret_cast<T>(::dlsym(lib, name));
  return out != nullptr;
}

void load() {
  // The library stays loaded for the life of the process: its global state
  // (TLS, resolver) is set up once and is not meant to be torn down while
  // other threads may still use it.
  void* lib = ::dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    std::fprintf(stderr, "ce: network unavailable: %s\n", ::dlerror());
    return;
  }
  CURLcode (*globalInit)(long) = nullptr;
  CurlApi a{};
  bool ok = bind(lib, "curl_global_init", globalInit) && bind(lib, "curl_easy_init", a.easy_init) &&
            bind(lib, "curl_easy_cleanup", a.easy_cleanup) && bind(lib, "curl_easy_setopt", a.easy_setopt) &&
            bind(lib, "curl_easy_perform", a.easy_perform) && bind(lib, "curl_easy_getinfo", a.easy_getinfo) &&
            bind(lib, "curl_easy_strerror", a.easy_strerror) && bind(lib, "curl_slist_append", a.slist_append) &&
            bind(lib, "curl_slist_free_all", a.slist_free_all);
  if (!ok || globalInit(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
    std::fprintf(stderr, "ce: network unavailable: libcurl.so.4 lacks its entry points or cannot start\n");
    return;
  }
  g_api = a;
  g_loaded = &g_api;
}

}  // namespace

const CurlApi* curlApi() {
  std::call_once(g_once, load);
  return g_loaded;
}

}  // namespace ce::detail
