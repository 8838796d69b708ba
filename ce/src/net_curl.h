// libcurl, loaded on the first download. Linking it into the layer would make
// every process of the device (scanners, services, every test helper) map
// libcurl and the dozen libraries it needs, about 20 ms per start measured
// on the development machine, for the one process in a hundred that
// downloads.
#pragma once

#include <curl/curl.h>

namespace ce::detail {

struct CurlApi {
  CURL* (*easy_init)();
  void (*easy_cleanup)(CURL*);
  CURLcode (*easy_setopt)(CURL*, CURLoption, ...);
  CURLcode (*easy_perform)(CURL*);
  CURLcode (*easy_getinfo)(CURL*, CURLINFO, ...);
  const char* (*easy_strerror)(CURLcode);
  curl_slist* (*slist_append)(curl_slist*, const char*);
  void (*slist_free_all)(curl_slist*);
};

// The loaded library, initialised once per process; nullptr when libcurl
// cannot be loaded (the reason goes to standard error once).
const CurlApi* curlApi();

}  // namespace ce::detail
