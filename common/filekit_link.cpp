#include "common/filekit_link.h"

#include "common/module_frame.h"

namespace nx {

bool FileKitLink::load(const ce::WCHAR* ownFile) {
  module = frame::loadSibling(ownFile, u"filekit.dll");
  if (!module) return false;
  ce::FARPROC c = nullptr, d = nullptr;
  if (!frame::resolveEntries(module, ownFile, u"filekit.dll",
                             {{u"CreateFileWrapObject", &c}, {u"DeleteFileWrapObject", &d}})) {
    MyFreeLibrary(module);
    module = nullptr;
    return false;
  }
  create = reinterpret_cast<PFN_CreateFileWrapObject>(c);
  destroy = reinterpret_cast<PFN_DeleteFileWrapObject>(d);
  return true;
}

bool FileKitLink::obtainWrapper() {
  wrapper = nullptr;
  if (!create || create(&wrapper) == 0 || !wrapper) {
    wrapper = nullptr;
    return false;
  }
  return true;
}

void FileKitLink::release() {
  if (wrapper && destroy) destroy(wrapper);
  wrapper = nullptr;
  create = nullptr;
  destroy = nullptr;
  if (module) MyFreeLibrary(module);
  module = nullptr;
}

}  // namespace nx
