// One engine module's (or one scanner's) binding to filekit.dll: the module loaded from this module's
// own directory, its two entry points and the process's file wrapper object.
// Each scanner of the module keeps its own binding, so each one counts its
// own load of filekit and can be brought up and down on its own.
#pragma once

#include "ce/windows.h"
#include "filekit/filekit_api.h"

namespace nx {

struct FileKitLink {
  ce::HMODULE module = nullptr;
  PFN_CreateFileWrapObject create = nullptr;
  PFN_DeleteFileWrapObject destroy = nullptr;
  FileWrapObject* wrapper = nullptr;

  // Loads filekit.dll beside ownFile and resolves its entry points, logging
  // "Path not found.", "Unable to load filekit.dll." or "Invalid filekit.dll."
  // under ownFile's name. False leaves nothing loaded.
  bool load(const ce::WCHAR* ownFile);
  // Obtains the wrapper object; false when filekit has none to give.
  bool obtainWrapper();
  // Hands back the wrapper (if any) and frees filekit (if loaded).
  void release();
  // load and obtainWrapper together; false leaves nothing loaded.
  bool bind(const ce::WCHAR* ownFile) {
    if (!load(ownFile)) return false;
    if (!obtainWrapper()) {
      release();
      return false;
    }
    return true;
  }
};

}  // namespace nx
