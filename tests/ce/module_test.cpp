#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "ce/ce.h"
#include "ce/module.h"
#include "ce/process.h"
#include "testkit.h"

namespace {

using namespace ce;

std::string buildFile(const std::string& rel) {
  std::ifstream in(std::string(NX_BUILD_DIR) + "/" + rel, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string moduleBytes(int version) { return buildFile("tests/modules/ce_test_module_v" + std::to_string(version) + ".dll"); }

// Whether this process maps the host file (by its identity, whatever the
// name the mapping was made under).
bool mapped(const std::string& hostPath) {
  struct stat st{};
  if (::stat(hostPath.c_str(), &st) != 0) return false;
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    unsigned maj = 0, min = 0;
    unsigned long long ino = 0;
    if (std::sscanf(line.c_str(), "%*s %*s %*s %x:%x %llu", &maj, &min, &ino) == 3 && ino == st.st_ino &&
        ::makedev(maj, min) == st.st_dev)
      return true;
  }
  return false;
}

DWORD writeOpenError(const char16_t* path) {
  HANDLE h = CreateFileW(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return GetLastError();
  CloseHandle(h);
  return ERROR_SUCCESS;
}

bool overwrite(const char16_t* path, const std::string& bytes) {
  HANDLE h = CreateFileW(path, GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(h);
  return ok && written == bytes.size();
}

template <class F>
F proc(HMODULE h, const char* name) {
  return reinterpret_cast<F>(GetProcAddress(h, name));
}

std::u16string fileName(HMODULE h) {
  WCHAR buf[MAX_PATH];
  DWORD n = GetModuleFileNameW(h, buf, MAX_PATH);
  return std::u16string(buf, n);
}

class Modules : public ::testing::Test {
 protected:
  nxtest::TempDevice dev;
  void SetUp() override { dev.writeFile("Windows/nxmod.dll", moduleBytes(1)); }
};

TEST_F(Modules, FreedModuleIsUnmappedAndItsReplacementLoads) {
  const char16_t* path = u"\\Windows\\nxmod.dll";
  HMODULE h = LoadLibraryW(path);
  ASSERT_NE(h, nullptr) << GetLastError();
  EXPECT_EQ(proc<int (*)()>(h, "ModuleVersion")(), 1);
  EXPECT_EQ(proc<int (*)()>(h, "CountCall")(), 1);
  EXPECT_TRUE(mapped(dev.host("Windows/nxmod.dll")));

  // Same file by another spelling: the same module, one more reference.
  HMODULE again = LoadLibraryW(u"\\WINDOWS\\.\\NxMod.DLL");
  EXPECT_EQ(again, h);
  EXPECT_EQ(proc<int (*)()>(again, "CountCall")(), 2);
  EXPECT_EQ(fileName(again), u"\\Windows\\nxmod.dll");

  // Loaded: no process may open it for writing or delete it.
  EXPECT_EQ(writeOpenError(path), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(nxtest::runHelper({"openwrite", "\\Windows\\nxmod.dll"}).out, "32\n");
  EXPECT_FALSE(DeleteFileW(path));
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);

  ASSERT_TRUE(FreeLibrary(h));
  EXPECT_EQ(writeOpenError(path), ERROR_SHARING_VIOLATION) << "one reference is left";
  ASSERT_TRUE(FreeLibrary(h));
  EXPECT_FALSE(mapped(dev.host("Windows/nxmod.dll")));
  EXPECT_EQ(GetProcAddress(h, "ModuleVersion"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  EXPECT_FALSE(FreeLibrary(h));
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);

  // Unloaded: the update may overwrite the file in place, and a load maps the new bytes.
  EXPECT_EQ(nxtest::runHelper({"openwrite", "\\Windows\\nxmod.dll"}).out, "ok\n");
  ASSERT_TRUE(overwrite(path, moduleBytes(2)));
  HMODULE v2 = LoadLibraryW(path);
  ASSERT_NE(v2, nullptr) << GetLastError();
  EXPECT_NE(v2, h) << "a freed handle must not name the new module";
  EXPECT_EQ(proc<int (*)()>(v2, "ModuleVersion")(), 2);
  EXPECT_EQ(proc<int (*)()>(v2, "CountCall")(), 1);
  EXPECT_TRUE(FreeLibrary(v2));
}

TEST_F(Modules, ModuleLoadedByAnotherProcessCannotBeWritten) {
  nxtest::HelperProcess holder({"loadhold", "\\Windows\\nxmod.dll"});
  ASSERT_EQ(holder.readLine(), "loaded 1\n");
  EXPECT_EQ(writeOpenError(u"\\Windows\\nxmod.dll"), ERROR_SHARING_VIOLATION);
  EXPECT_FALSE(DeleteFileW(u"\\Windows\\nxmod.dll"));
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  // Loading it here as well is fine: both only read it.
  HMODULE h = LoadLibraryW(u"\\Windows\\nxmod.dll");
  EXPECT_NE(h, nullptr);
  EXPECT_TRUE(FreeLibrary(h));

  holder.writeLine("go");
  EXPECT_EQ(holder.readLine(), "freed\n");
  EXPECT_EQ(holder.wait(), 0);
  EXPECT_EQ(writeOpenError(u"\\Windows\\nxmod.dll"), ERROR_SUCCESS);
}

// How an update replaces a module a running program has loaded: the mapped
// file is moved aside (it cannot be written or deleted), the new one takes
// its name, the program keeps the module it has and a new load gets the new
// one; the old file can go once nobody maps it.
TEST_F(Modules, ModuleInUseIsMovedAsideAndANewOneTakesItsName) {
  nxtest::HelperProcess holder({"loadhold", "\\Windows\\nxmod.dll"});
  ASSERT_EQ(holder.readLine(), "loaded 1\n");
  ASSERT_TRUE(MoveFileW(u"\\Windows\\nxmod.dll", u"\\Windows\\nxmod.dll.1nx")) << GetLastError();
  EXPECT_FALSE(DeleteFileW(u"\\Windows\\nxmod.dll.1nx"));
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(writeOpenError(u"\\Windows\\nxmod.dll.1nx"), ERROR_SHARING_VIOLATION);
  dev.writeFile("Windows/nxmod.dll", moduleBytes(2));
  HMODULE h = LoadLibraryW(u"\\Windows\\nxmod.dll");
  ASSERT_NE(h, nullptr) << GetLastError();
  EXPECT_EQ(proc<int (*)()>(h, "ModuleVersion")(), 2);
  EXPECT_TRUE(FreeLibrary(h));

  holder.writeLine("go");
  EXPECT_EQ(holder.readLine(), "freed\n");
  EXPECT_EQ(holder.wait(), 0);
  EXPECT_TRUE(DeleteFileW(u"\\Windows\\nxmod.dll.1nx")) << GetLastError();
}

TEST_F(Modules, AModuleOpenForWritingDoesNotLoad) {
  HANDLE w = CreateFileW(u"\\Windows\\nxmod.dll", GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(w, INVALID_HANDLE_VALUE);
  EXPECT_EQ(LoadLibraryW(u"\\Windows\\nxmod.dll"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  CloseHandle(w);
  HMODULE h = LoadLibraryW(u"\\Windows\\nxmod.dll");
  EXPECT_NE(h, nullptr);
  FreeLibrary(h);
}

TEST_F(Modules, AttachRunsOnceAndDetachOnTheLastFree) {
  HMODULE h = LoadLibraryW(u"\\Windows\\nxmod.dll");
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(proc<int (*)()>(h, "AttachCalls")(), 1);
  EXPECT_EQ(proc<HMODULE (*)()>(h, "AttachedAs")(), h);
  int detached = 0;
  proc<void (*)(int*)>(h, "SetDetachCounter")(&detached);
  ASSERT_EQ(LoadLibraryW(u"\\Windows\\nxmod.dll"), h);
  EXPECT_EQ(proc<int (*)()>(h, "AttachCalls")(), 1);
  FreeLibrary(h);
  EXPECT_EQ(detached, 0);
  FreeLibrary(h);
  EXPECT_EQ(detached, 1);
}

TEST_F(Modules, RefusedAttachLeavesNothingLoaded) {
  dev.writeFile("Windows/refuses.dll", buildFile("tests/modules/ce_test_module_initfail.dll"));
  EXPECT_EQ(LoadLibraryW(u"\\Windows\\refuses.dll"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_DLL_INIT_FAILED);
  EXPECT_FALSE(mapped(dev.host("Windows/refuses.dll")));
  EXPECT_EQ(GetModuleHandleW(u"refuses.dll"), nullptr);
  EXPECT_EQ(writeOpenError(u"\\Windows\\refuses.dll"), ERROR_SUCCESS);
}

TEST_F(Modules, LoadFailuresGiveTheHandsetCodes) {
  std::string v1 = moduleBytes(1);
  dev.writeFile("Windows/text.dll", "MZ this is not a library\n");
  dev.writeFile("Windows/empty.dll", "");
  dev.writeFile("Windows/truncated.dll", v1.substr(0, 200));
  std::filesystem::copy_file(nxtest::helperPath(), dev.host("Windows/program.exe"));
  ASSERT_EQ(::mkfifo(dev.host("Windows/fifo.dll").c_str(), 0644), 0);
  struct Case {
    const char16_t* path;
    DWORD error;
  } cases[] = {
      {u"\\Windows\\missing.dll", ERROR_MOD_NOT_FOUND},
      {u"\\NoSuchFolder\\nxmod.dll", ERROR_MOD_NOT_FOUND},
      {u"missing.dll", ERROR_MOD_NOT_FOUND},
      {u"\\Windows\\text.dll", ERROR_BAD_EXE_FORMAT},
      {u"\\Windows\\empty.dll", ERROR_BAD_EXE_FORMAT},
      {u"\\Windows\\truncated.dll", ERROR_BAD_EXE_FORMAT},
      {u"\\Windows\\program.exe", ERROR_BAD_EXE_FORMAT},
      {u"\\Windows\\fifo.dll", ERROR_BAD_EXE_FORMAT},
      {u"\\Windows", ERROR_ACCESS_DENIED},
      {u"", ERROR_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    SetLastError(0);
    EXPECT_EQ(LoadLibraryW(c.path), nullptr) << utf16ToUtf8(c.path);
    EXPECT_EQ(GetLastError(), c.error) << utf16ToUtf8(c.path);
  }
  EXPECT_EQ(LoadLibraryW(nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  // A refused file is not left registered as open.
  EXPECT_EQ(writeOpenError(u"\\Windows\\truncated.dll"), ERROR_SUCCESS);
}

TEST_F(Modules, FindsLoadedModulesByNameIgnoringCase) {
  HMODULE h = LoadLibraryW(u"\\Windows\\nxmod.dll");
  ASSERT_NE(h, nullptr);
  struct Case {
    const char16_t* name;
    bool found;
  } cases[] = {
      {u"nxmod.dll", true},          {u"NXMOD.DLL", true},     {u"NxMod", true},  // ".dll" implied
      {u"\\WINDOWS\\nxMOD.dll", true}, {u"\\Windows\\..\\Windows\\nxmod.dll", true},
      {u"nxmod.", false},            {u"nxmod.dl", false},     {u"other.dll", false},
      {u"\\Temp\\nxmod.dll", false}, {u"", false},
  };
  for (const auto& c : cases) {
    SetLastError(0);
    HMODULE got = GetModuleHandleW(c.name);
    EXPECT_EQ(got, c.found ? h : nullptr) << utf16ToUtf8(c.name);
    if (!c.found) {
      EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND) << utf16ToUtf8(c.name);
    }
  }
  // A bare name given to LoadLibraryW finds the loaded module first.
  EXPECT_EQ(LoadLibraryW(u"NXMOD.DLL"), h);
  FreeLibrary(h);
  FreeLibrary(h);
  EXPECT_EQ(GetModuleHandleW(u"nxmod.dll"), nullptr);

  // The program itself.
  HMODULE self = GetModuleHandleW(nullptr);
  ASSERT_NE(self, nullptr);
  EXPECT_EQ(fileName(self), fileName(nullptr));
  EXPECT_TRUE(FreeLibrary(self));
  EXPECT_EQ(GetModuleHandleW(nullptr), self);
}

TEST_F(Modules, ModuleFileNameIsCutToTheBufferLikeTheHandset) {
  HMODULE h = LoadLibraryW(u"\\windows\\NXMOD.dll");
  ASSERT_NE(h, nullptr);
  const std::u16string full = u"\\Windows\\nxmod.dll";  // the file's own spelling
  const DWORD len = static_cast<DWORD>(full.size());
  WCHAR buf[MAX_PATH + 1];  // one guard unit past the largest capacity
  struct Case {
    DWORD cap;
    DWORD result;
    std::u16string text;
    DWORD error;
  } cases[] = {
      {MAX_PATH, len, full, 0},
      {len + 1, len, full, 0},
      {len, len, full.substr(0, len - 1), ERROR_INSUFFICIENT_BUFFER},
      {2, 2, full.substr(0, 1), ERROR_INSUFFICIENT_BUFFER},
      {1, 1, u"", ERROR_INSUFFICIENT_BUFFER},
  };
  for (const auto& c : cases) {
    std::fill(std::begin(buf), std::end(buf), u'#');
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameW(h, buf, c.cap), c.result) << c.cap;
    EXPECT_EQ(std::u16string(buf), c.text) << c.cap;
    EXPECT_EQ(GetLastError(), c.error) << c.cap;
    EXPECT_EQ(buf[c.cap], u'#') << "wrote past the capacity " << c.cap;
  }
  EXPECT_EQ(GetModuleFileNameW(h, buf, 0), 0u);
  EXPECT_EQ(GetModuleFileNameW(reinterpret_cast<HMODULE>(0x12340000), buf, MAX_PATH), 0u);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  FreeLibrary(h);
}

TEST_F(Modules, ExportsAreTheModulesOwn) {
  HMODULE h = LoadLibraryW(u"\\Windows\\nxmod.dll");
  ASSERT_NE(h, nullptr);
  EXPECT_NE(GetProcAddressW(h, u"ModuleVersion"), nullptr);
  // The module links the layer; its exports are not the module's.
  EXPECT_EQ(GetProcAddress(h, "CloseHandle"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
  EXPECT_EQ(GetProcAddress(h, "_ZN2ce11CloseHandleEPv"), nullptr);
  EXPECT_EQ(GetProcAddressW(h, u"NoSuchExport"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
  EXPECT_EQ(GetProcAddress(h, reinterpret_cast<LPCSTR>(uintptr_t{5})), nullptr);  // an ordinal
  EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
  EXPECT_EQ(GetProcAddress(nullptr, "ModuleVersion"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  FreeLibrary(h);
}

TEST_F(Modules, LibraryMappedByTheLinkerFindsItsOwnHandle) {
  HMODULE loaded = LoadLibraryW(u"\\Windows\\nxmod.dll");
  ASSERT_NE(loaded, nullptr);
  EXPECT_EQ(proc<HMODULE (*)()>(loaded, "SelfHandle")(), loaded);

  // Stand in for the dynamic linker mapping a library a module links.
  dev.writeFile("Windows/linked.dll", moduleBytes(2));
  void* dl = ::dlopen(dev.host("Windows/linked.dll").c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(dl, nullptr) << ::dlerror();
  auto self = reinterpret_cast<HMODULE (*)()>(::dlsym(dl, "SelfHandle"));
  HMODULE h = self();
  ASSERT_NE(h, nullptr) << GetLastError();
  EXPECT_EQ(self(), h);
  EXPECT_EQ(fileName(h), u"\\Windows\\linked.dll");
  EXPECT_EQ(GetModuleHandleW(u"LINKED.DLL"), h);
  EXPECT_EQ(proc<int (*)()>(h, "ModuleVersion")(), 2);
  EXPECT_EQ(writeOpenError(u"\\Windows\\linked.dll"), ERROR_SHARING_VIOLATION);
  EXPECT_TRUE(FreeLibrary(h));  // the linker's reference is not ours to drop
  EXPECT_TRUE(mapped(dev.host("Windows/linked.dll")));

  // Once the linker unmaps it the record and its open-file entry go.
  ::dlclose(dl);
  FreeLibrary(loaded);
  EXPECT_EQ(GetModuleHandleW(u"linked.dll"), nullptr);
  EXPECT_EQ(writeOpenError(u"\\Windows\\linked.dll"), ERROR_SUCCESS);

  EXPECT_EQ(ModuleFromAddress(nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  EXPECT_EQ(ModuleFromAddress(reinterpret_cast<const void*>(&mapped)), GetModuleHandleW(nullptr));
  // The layer itself lies outside the device.
  EXPECT_EQ(ModuleFromAddress(reinterpret_cast<const void*>(&LoadLibraryW)), nullptr);
}

}  // namespace

namespace {

using namespace ce;

class LinkedModules : public ::testing::Test {
 protected:
  nxtest::TempDevice dev;
  void SetUp() override {
    ::mkdir(dev.host("Program Files/App").c_str(), 0755);
    dev.writeFile("Program Files/App/ce_test_user.dll", buildFile("tests/modules/ce_test_user.dll"));
  }
};

TEST_F(LinkedModules, LinkedLibraryComesFromTheModulesFolderAndGoesWithIt) {
  dev.writeFile("Program Files/App/ce_test_dep.dll", buildFile("tests/modules/ce_test_dep.dll"));
  HMODULE user = LoadLibraryW(u"\\Program Files\\App\\ce_test_user.dll");
  ASSERT_NE(user, nullptr) << GetLastError();
  EXPECT_EQ(proc<int (*)()>(user, "UseDep")(), 8);
  HMODULE dep = GetModuleHandleW(u"ce_test_dep.dll");
  ASSERT_NE(dep, nullptr);
  EXPECT_EQ(fileName(dep), u"\\Program Files\\App\\ce_test_dep.dll");
  EXPECT_EQ(proc<HMODULE (*)()>(user, "DepHandle")(), dep);
  EXPECT_EQ(GetProcAddress(user, "DepValue"), nullptr) << "an export of the linked library, not of the module";
  EXPECT_EQ(writeOpenError(u"\\Program Files\\App\\ce_test_dep.dll"), ERROR_SHARING_VIOLATION);

  // Loaded on its own as well: the same module, and it stays while either holds it.
  EXPECT_EQ(LoadLibraryW(u"\\Program Files\\App\\ce_test_dep.dll"), dep);
  FreeLibrary(user);
  EXPECT_EQ(GetModuleHandleW(u"ce_test_user.dll"), nullptr);
  EXPECT_EQ(GetModuleHandleW(u"ce_test_dep.dll"), dep);
  FreeLibrary(dep);
  EXPECT_EQ(GetModuleHandleW(u"ce_test_dep.dll"), nullptr);
  EXPECT_FALSE(mapped(dev.host("Program Files/App/ce_test_dep.dll")));
  EXPECT_EQ(writeOpenError(u"\\Program Files\\App\\ce_test_dep.dll"), ERROR_SUCCESS);
}

TEST_F(LinkedModules, MissingLinkedLibraryFailsTheLoad) {
  EXPECT_EQ(LoadLibraryW(u"\\Program Files\\App\\ce_test_user.dll"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  EXPECT_FALSE(mapped(dev.host("Program Files/App/ce_test_user.dll")));
  // The linked library is found only beside the module.
  dev.writeFile("Windows/ce_test_dep.dll", buildFile("tests/modules/ce_test_dep.dll"));
  EXPECT_EQ(LoadLibraryW(u"\\Program Files\\App\\ce_test_user.dll"), nullptr);
  EXPECT_EQ(writeOpenError(u"\\Program Files\\App\\ce_test_user.dll"), ERROR_SUCCESS);
}

}  // namespace
