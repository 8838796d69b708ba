// Definition packages: the 51-byte head with its check value, the ARJ body
// whose first 90 bytes are scrambled, and unpacking it through arjkit.dll
// into the staging folder, every member under a plain file name.
#pragma once

#include <string>

#include "ce/windows.h"
#include "updengine/engine.h"

namespace nx::upd {

// platform.dll of the installation, bound for one update: unique names,
// the installation path and the module-frame loader arjkit is loaded by.
class PlatformLink {
 public:
  PlatformLink() = default;
  ~PlatformLink();
  PlatformLink(const PlatformLink&) = delete;
  PlatformLink& operator=(const PlatformLink&) = delete;

  bool load(const std::u16string& installDir);
  // A free name "~xnNNNN.tmp" in dir (the bare name); empty on failure.
  std::u16string uniqueName(const std::u16string& dir) const;
  ce::HMODULE loadModule(const std::u16string& path) const;  // runs LibInit
  void freeModule(ce::HMODULE m) const;                       // runs LibDeinit
  ce::FARPROC proc(ce::HMODULE m, const ce::WCHAR* name) const;

 private:
  ce::HMODULE module_ = nullptr;
  int (*unique_)(const ce::WCHAR*, const ce::WCHAR*, ce::WCHAR*) = nullptr;
  ce::HMODULE (*load_)(const ce::WCHAR*) = nullptr;
  int (*free_)(ce::HMODULE) = nullptr;
  ce::FARPROC (*proc_)(ce::HMODULE, const ce::WCHAR*) = nullptr;
};

enum UnpackResult : int {
  kUnpackFailed = 0,
  kUnpacked = 1,
  kUnpackCorrupt = 2,
};

// Checks the head of the package at `package` and takes its members into
// `staging` (lower-cased names). Corrupt: a wrong kind or check value, a
// body arjkit cannot read, a member that is damaged or whose name is not a
// plain file name of the staging folder. Any failure leaves the staging
// folder without files.
int unpackPackage(Run& run, const PlatformLink& platform, const std::u16string& package,
                  const std::u16string& staging);

// The package check value and kind test alone (fuzzing, tests): kUnpacked
// when the head is sound, else kUnpackCorrupt or kUnpackFailed (unreadable).
int checkPackageHead(const std::u16string& package);

}  // namespace nx::upd
