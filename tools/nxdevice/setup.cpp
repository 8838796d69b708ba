// nxdevice install / uninstall: the handset's CAB installer. It runs the
// product's setup library around the files it copies, as the handset does:
// Install_Init may refuse the device, the files are copied, Install_Exit
// prepares the product (folders, settings, services, version key) or asks
// for everything to be taken back; removal runs Uninstall_Init, removes the
// files the installer put in place and runs Uninstall_Exit.
//
// What the installer put in place is kept in the device, one path a line,
// in "\Windows\AppMgr\AntiVirus Nyxel.dat", so that removal takes away only
// those files (and the folders it made, when they are empty) whatever the
// image beside this program holds by then.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "ce/ce.h"
#include "ce/screen.h"
#include "ce/setup.h"
#include "commands.h"
#include "common/install_dir.h"

namespace nxdevice {
namespace {

namespace fs = std::filesystem;

// The folder the CAB installer records as the application's InstallDir; the
// product's own folder is below it.
constexpr const char16_t* kInstallParent = u"\\Program Files\\Nyxel";
constexpr const char16_t* kAppMgr = u"\\Windows\\AppMgr";
constexpr const char16_t* kRecordFile = u"\\Windows\\AppMgr\\AntiVirus Nyxel.dat";
// Where the setup library is run from while the product is removed: the
// installed copy goes with the product folder, and a loaded module cannot be
// deleted.
constexpr const char16_t* kSetupCopy = u"\\Windows\\AppMgr\\Nyxel setup.dll";
constexpr const char16_t* kStartUpShortcut = u"\\Windows\\StartUp\\nxstartup.lnk";
constexpr const char* kBootProgram = "nxstartup.exe";
constexpr const char* kSetupLibrary = "setuphook.dll";

std::string u8(const std::u16string& s) { return ce::utf16ToUtf8(s); }
std::u16string u16(const std::string& s) { return ce::utf8ToUtf16(s); }

// The device path "\Host\..." of a host file (the host mount must be on).
std::u16string hostPath(const fs::path& p) {
  std::string s = "\\Host" + p.string();
  std::replace(s.begin(), s.end(), '/', '\\');
  return u16(s);
}

// The install image built beside this program: <build>/bin/nxdevice -> <build>/image.
std::string defaultImage() { return (fs::path(programFolder()).parent_path() / "image").string(); }

// The hooks run as device code: "\Host" is the host tools' window on the
// Linux file system and the handset has none, so whatever the registry
// says, a hook can never reach a host file through it.
class HostMountOff {
 public:
  HostMountOff() : was_(ce::HostMountEnabled()) { ce::EnableHostMount(false); }
  ~HostMountOff() { ce::EnableHostMount(was_); }
  HostMountOff(const HostMountOff&) = delete;
  HostMountOff& operator=(const HostMountOff&) = delete;

 private:
  bool was_;
};

class SetupHooks {
 public:
  ~SetupHooks() {
    if (lib_) ce::FreeLibrary(lib_);
  }
  bool load(const std::u16string& path) {
    lib_ = ce::LoadLibraryW(path.c_str());
    if (!lib_) return false;
    installInit = reinterpret_cast<ce::PFN_Install_Init>(ce::GetProcAddress(lib_, "Install_Init"));
    installExit = reinterpret_cast<ce::PFN_Install_Exit>(ce::GetProcAddress(lib_, "Install_Exit"));
    uninstallInit = reinterpret_cast<ce::PFN_Uninstall_Init>(ce::GetProcAddress(lib_, "Uninstall_Init"));
    uninstallExit = reinterpret_cast<ce::PFN_Uninstall_Exit>(ce::GetProcAddress(lib_, "Uninstall_Exit"));
    return installInit && installExit && uninstallInit && uninstallExit;
  }
  void unload() {
    if (lib_) ce::FreeLibrary(lib_);
    lib_ = nullptr;
  }

  ce::PFN_Install_Init installInit = nullptr;
  ce::PFN_Install_Exit installExit = nullptr;
  ce::PFN_Uninstall_Init uninstallInit = nullptr;
  ce::PFN_Uninstall_Exit uninstallExit = nullptr;

 private:
  ce::HMODULE lib_ = nullptr;
};

// The message boxes a hook showed: the screen journal from `from` on.
uint64_t journalEnd() {
  uint64_t next = 0, skipped = 0;
  ce::screen::ReadJournal(0, &next, &skipped);
  return next;
}
void printMessagesSince(uint64_t from) {
  uint64_t next = 0, skipped = 0;
  for (const std::string& line : ce::screen::ReadJournal(from, &next, &skipped)) {
    nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
    if (!j.is_object() || j.value("event", "") != "msgbox") continue;
    std::printf("setup says: %s\n", j.value("text", "").c_str());
  }
}

// ---- The record of what the installer put in place -------------------------
// "D path" for a folder it made, "F path" for a file it copied or wrote.
struct Record {
  std::vector<std::u16string> dirs;
  std::vector<std::u16string> files;
};

bool exists(const std::u16string& path) { return ce::GetFileAttributesW(path.c_str()) != ce::INVALID_FILE_ATTRIBUTES; }

bool readRecord(Record& rec) {
  ce::HANDLE f = ce::CreateFileW(kRecordFile, ce::GENERIC_READ, ce::FILE_SHARE_READ, nullptr, ce::OPEN_EXISTING, 0,
                                 nullptr);
  if (f == ce::INVALID_HANDLE_VALUE) return false;
  std::string text;
  char buf[4096];
  ce::DWORD got = 0;
  while (ce::ReadFile(f, buf, sizeof buf, &got, nullptr) && got > 0) text.append(buf, got);
  ce::CloseHandle(f);
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    if (line.size() < 3 || line[1] != ' ') continue;
    std::u16string path = u16(line.substr(2));
    // Only absolute device paths; anything else is not this installer's.
    if (path.empty() || path[0] != u'\\') continue;
    if (line[0] == 'D') rec.dirs.push_back(path);
    if (line[0] == 'F') rec.files.push_back(path);
  }
  return true;
}

bool writeRecord(const Record& rec) {
  ce::CreateDirectoryW(kAppMgr, nullptr);
  std::string text;
  for (const auto& d : rec.dirs) text += "D " + u8(d) + "\n";
  for (const auto& f : rec.files) text += "F " + u8(f) + "\n";
  ce::HANDLE h = ce::CreateFileW(kRecordFile, ce::GENERIC_WRITE, 0, nullptr, ce::CREATE_ALWAYS, 0, nullptr);
  if (h == ce::INVALID_HANDLE_VALUE) return false;
  ce::DWORD put = 0;
  bool ok = ce::WriteFile(h, text.data(), static_cast<ce::DWORD>(text.size()), &put, nullptr) && put == text.size();
  ce::CloseHandle(h);
  return ok;
}

bool isProgram(const std::u16string& path) {
  return path.size() > 4 && ce::equalsNoCase(std::u16string_view(path).substr(path.size() - 4), u".exe");
}

// Removes the recorded files (the device programs' host mappings first) and
// then the recorded folders that are empty, deepest first. Returns how many
// files went; `left` gets those that could not be removed.
int removeRecorded(const Record& rec, std::vector<std::u16string>& left) {
  int removed = 0;
  for (auto it = rec.files.rbegin(); it != rec.files.rend(); ++it) {
    if (isProgram(*it)) ce::UnmapDeviceProgram(it->c_str());
    if (!exists(*it)) continue;
    ce::SetFileAttributesW(it->c_str(), ce::FILE_ATTRIBUTE_NORMAL);
    if (ce::DeleteFileW(it->c_str()))
      ++removed;
    else
      left.push_back(*it);
  }
  std::vector<std::u16string> dirs = rec.dirs;
  std::sort(dirs.begin(), dirs.end(), [](const auto& a, const auto& b) { return a.size() > b.size(); });
  for (const auto& d : dirs) ce::RemoveDirectoryW(d.c_str());  // refused while anything is in it
  return removed;
}

bool appKeyExists() {
  ce::HKEY key = nullptr;
  if (ce::RegOpenKeyExW(ce::HKEY_LOCAL_MACHINE, nx::kInstallRegKey, 0, ce::KEY_READ, &key) != ce::ERROR_SUCCESS)
    return false;
  ce::RegCloseKey(key);
  return true;
}

bool writeAppKey(ce::DWORD installed) {
  ce::HKEY key = nullptr;
  ce::DWORD disp = 0;
  if (ce::RegCreateKeyExW(ce::HKEY_LOCAL_MACHINE, nx::kInstallRegKey, 0, nullptr, 0, 0, nullptr, &key, &disp) !=
      ce::ERROR_SUCCESS)
    return false;
  std::u16string dir(kInstallParent);
  bool ok = ce::RegSetValueExW(key, nx::kInstallRegValue, 0, ce::REG_SZ, reinterpret_cast<const ce::BYTE*>(dir.c_str()),
                               static_cast<ce::DWORD>((dir.size() + 1) * sizeof(char16_t))) == ce::ERROR_SUCCESS;
  ok = ok && ce::RegSetValueExW(key, u"Instl", 0, ce::REG_DWORD, reinterpret_cast<const ce::BYTE*>(&installed),
                                sizeof installed) == ce::ERROR_SUCCESS;
  ce::RegCloseKey(key);
  return ok;
}

std::u16string installDirectory() {
  ce::WCHAR dir[ce::MAX_PATH];
  if (!nx::getInstallDirectory(dir, ce::MAX_PATH)) return {};
  return dir;
}

// Copies one host file into the device, recording it; false says why.
bool copyIn(const fs::path& from, const std::u16string& to, Record& rec) {
  ce::SetFileAttributesW(to.c_str(), ce::FILE_ATTRIBUTE_NORMAL);
  if (!ce::CopyFileW(hostPath(from).c_str(), to.c_str(), false)) {
    std::fprintf(stderr, "nxdevice: cannot copy %s to %s (error %u)\n", from.c_str(), u8(to).c_str(),
                 ce::GetLastError());
    return false;
  }
  if (std::find(rec.files.begin(), rec.files.end(), to) == rec.files.end()) rec.files.push_back(to);
  return true;
}

// Makes every missing level of `dir`, recording those it made.
bool makeFolders(const std::u16string& dir, Record& rec) {
  for (size_t i = 1; i <= dir.size(); ++i) {
    if (i != dir.size() && dir[i] != u'\\') continue;
    std::u16string level = dir.substr(0, i);
    if (exists(level)) continue;
    if (!ce::CreateDirectoryW(level.c_str(), nullptr)) {
      std::fprintf(stderr, "nxdevice: cannot create %s (error %u)\n", u8(level).c_str(), ce::GetLastError());
      return false;
    }
    rec.dirs.push_back(level);
  }
  return true;
}

// The image's files: the top level into the installation directory, the
// "Windows" folder's tree into "\Windows".
bool copyImage(const fs::path& img, const std::u16string& target, Record& rec) {
  std::error_code ec;
  if (!makeFolders(target, rec)) return false;
  for (const auto& e : fs::directory_iterator(img, ec)) {
    if (!e.is_regular_file()) continue;
    if (!copyIn(e.path(), target + u"\\" + u16(e.path().filename().string()), rec)) return false;
  }
  if (ec) {
    std::fprintf(stderr, "nxdevice: cannot list %s: %s\n", img.c_str(), ec.message().c_str());
    return false;
  }
  const fs::path windows = img / "Windows";
  if (!fs::is_directory(windows, ec)) return true;
  for (auto it = fs::recursive_directory_iterator(windows, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    std::string rel = fs::relative(it->path(), windows, ec).string();
    std::replace(rel.begin(), rel.end(), '/', '\\');
    std::u16string to = u"\\Windows\\" + u16(rel);
    if (it->is_directory()) {
      if (!makeFolders(to, rec)) return false;
    } else if (it->is_regular_file()) {
      if (!copyIn(it->path(), to, rec)) return false;
    }
  }
  if (ec) {
    std::fprintf(stderr, "nxdevice: cannot list %s: %s\n", windows.c_str(), ec.message().c_str());
    return false;
  }
  return true;
}

// The product's removal; `quiet` for the removal `install --force` runs.
int uninstallProduct(const std::string& image, bool quiet) {
  Record rec;
  const bool recorded = readRecord(rec);
  if (!recorded && !appKeyExists()) {
    std::fprintf(stderr, "nxdevice: Nyxel AntiVirus is not installed on this device\n");
    return 1;
  }
  const std::u16string target = installDirectory();
  ce::EnableHostMount(true);
  // The installed setup library, run from a copy outside the product folder;
  // when it is gone, the image's.
  SetupHooks hooks;
  ce::CreateDirectoryW(kAppMgr, nullptr);
  ce::SetFileAttributesW(kSetupCopy, ce::FILE_ATTRIBUTE_NORMAL);
  bool haveHooks = false;
  const std::u16string installed = target + u"\\" + u16(kSetupLibrary);
  if (!target.empty() && ce::CopyFileW(installed.c_str(), kSetupCopy, false)) haveHooks = hooks.load(kSetupCopy);
  if (!haveHooks) {
    hooks.unload();
    const fs::path fromImage = fs::path(image.empty() ? defaultImage() : image) / kSetupLibrary;
    std::error_code ec;
    if (fs::exists(fromImage, ec) && ce::CopyFileW(hostPath(fromImage).c_str(), kSetupCopy, false))
      haveHooks = hooks.load(kSetupCopy);
    if (haveHooks && !quiet) std::printf("the installed setup library is missing; using the image's\n");
  }
  if (!haveHooks) {
    hooks.unload();
    ce::DeleteFileW(kSetupCopy);
    std::fprintf(stderr,
                 "nxdevice: no setup library to remove the product with (neither %s nor the image's); nothing "
                 "removed\n",
                 u8(installed).c_str());
    return 1;
  }
  const uint64_t mark = journalEnd();
  ce::codeUNINSTALL_INIT init;
  {
    HostMountOff off;
    init = hooks.uninstallInit(nullptr, target.c_str());
  }
  if (init != ce::codeUNINSTALL_INIT_CONTINUE) {
    printMessagesSince(mark);
    hooks.unload();
    ce::DeleteFileW(kSetupCopy);
    std::fprintf(stderr, "nxdevice: setup refused to remove the product\n");
    return 2;
  }
  std::vector<std::u16string> left;
  const int removed = removeRecorded(rec, left);
  {
    HostMountOff off;
    hooks.uninstallExit(nullptr);
  }
  printMessagesSince(mark);
  hooks.unload();
  ce::DeleteFileW(kSetupCopy);
  ce::DeleteFileW(kRecordFile);
  ce::RegDeleteKeyW(ce::HKEY_LOCAL_MACHINE, nx::kInstallRegKey);
  ce::RemoveDirectoryW(kAppMgr);  // kept when other applications' records are in it
  for (const auto& f : left) {
    if (exists(f)) std::fprintf(stderr, "nxdevice: could not remove %s\n", u8(f).c_str());
  }
  if (!quiet) std::printf("removed Nyxel AntiVirus (%d installed files) from %s\n", removed, u8(target).c_str());
  return 0;
}

int cmdInstall(const std::string& root, std::string image, bool force) {
  if (image.empty()) image = defaultImage();
  std::error_code ec;
  fs::path img = fs::absolute(image, ec);
  if (ec || !fs::is_directory(img, ec) || !fs::exists(img / "avapi.dll", ec)) {
    std::fprintf(stderr, "nxdevice: %s is not an install image (no avapi.dll)\n", image.c_str());
    return 1;
  }
  if (!fs::exists(img / kSetupLibrary, ec)) {
    std::fprintf(stderr, "nxdevice: %s is not an install image (no %s)\n", image.c_str(), kSetupLibrary);
    return 1;
  }
  if (!ce::AttachDevice(root) && !ce::CreateDevice(root)) return fail("cannot create a device at " + root);
  ce::EnableHostMount(true);
  if (force) {
    Record old;
    if (readRecord(old) || appKeyExists()) {
      int rc = uninstallProduct(img.string(), true);
      if (rc != 0) return rc;
      std::printf("removed the installed product first\n");
    }
  }

  SetupHooks hooks;
  if (!hooks.load(hostPath(img / kSetupLibrary)))
    return fail("cannot load the setup library " + (img / kSetupLibrary).string());

  // The installer offers the folder it will install into; the lookup the
  // hooks make gives the same one once the registry names its parent.
  const std::u16string target = std::u16string(kInstallParent) + u"\\" + nx::kProductFolder;
  const uint64_t mark = journalEnd();
  ce::codeINSTALL_INIT init;
  {
    HostMountOff off;
    init = hooks.installInit(nullptr, ce::TRUE, ce::FALSE, target.c_str());
  }
  if (init != ce::codeINSTALL_INIT_CONTINUE) {
    printMessagesSince(mark);
    std::fprintf(stderr, "nxdevice: setup refused to install the product; nothing was copied\n");
    return 2;
  }

  Record rec;
  readRecord(rec);  // a copy installed over: its files stay on the list
  if (!writeAppKey(0)) return fail("cannot write the installation's registry key");
  auto takeBack = [&](const char* why) {
    std::vector<std::u16string> left;
    removeRecorded(rec, left);
    ce::DeleteFileW(kRecordFile);
    ce::RemoveDirectoryW(kAppMgr);  // kept when other applications' records are in it
    ce::RegDeleteKeyW(ce::HKEY_LOCAL_MACHINE, nx::kInstallRegKey);
    std::fprintf(stderr, "nxdevice: %s; the copied files were removed\n", why);
    return 1;
  };
  if (!copyImage(img, target, rec)) return takeBack("the installation failed");
  mapInstalledPrograms(img.string(), target);
  // The boot program runs at every start from the start-up folder.
  if (fs::exists(img / kBootProgram, ec)) {
    const std::u16string program = u"\"" + target + u"\\" + u16(kBootProgram) + u"\"";
    if (!makeFolders(u"\\Windows\\StartUp", rec)) return takeBack("cannot create the start-up folder");
    if (!ce::SHCreateShortcut(kStartUpShortcut, program.c_str())) return takeBack("cannot create the start-up shortcut");
    if (std::find(rec.files.begin(), rec.files.end(), kStartUpShortcut) == rec.files.end())
      rec.files.push_back(kStartUpShortcut);
  }
  // Written before the setup library prepares the product, so that a removal
  // after anything that follows still knows every file.
  if (!writeRecord(rec)) return takeBack("cannot write the installation record");

  ce::codeINSTALL_EXIT done;
  {
    HostMountOff off;
    done = hooks.installExit(nullptr, target.c_str(), 0, 0, 0, 0, 0);
  }
  printMessagesSince(mark);
  if (done != ce::codeINSTALL_EXIT_DONE) {
    // The installer takes back what it copied; the hooks' own folders and
    // keys are theirs to remove, as a removal would.
    {
      HostMountOff off;
      if (hooks.uninstallInit(nullptr, target.c_str()) == ce::codeUNINSTALL_INIT_CONTINUE) {
        std::vector<std::u16string> left;
        removeRecorded(rec, left);
        hooks.uninstallExit(nullptr);
      }
    }
    return takeBack("setup could not prepare the product");
  }
  if (!writeAppKey(1)) return fail("cannot write the installation's registry key");
  std::printf("installed %zu files from %s into %s\n", rec.files.size(), img.c_str(), u8(target).c_str());
  return 0;
}

struct Options {
  std::string imageDir;
  std::string updateKey;
  bool force = false;
} opts;

}  // namespace

void addSetupCommands(CLI::App& app, Context& ctx) {
  auto* install = app.add_subcommand("install", "install the product as the handset's installer does (device created if needed)");
  install->add_option("IMAGE", opts.imageDir, "install image folder (default: the one built beside nxdevice)");
  install->add_flag("--force", opts.force, "remove an installed copy first");
  install->add_option("--update-key", opts.updateKey,
                      "an Ed25519 public key (PEM): the device then installs only updates signed with it");
  install->callback([&ctx] {
    ctx.status = cmdInstall(ctx.root, opts.imageDir, opts.force);
    if (ctx.status == 0) std::printf("installed:     %s\n", installedVersion().c_str());
    if (ctx.status == 0 && !opts.updateKey.empty()) ctx.status = storeUpdateKey(opts.updateKey);
  });

  auto* uninstall = app.add_subcommand("uninstall", "remove the product through its setup library");
  uninstall->add_option("IMAGE", opts.imageDir, "image whose setup library to use when the installed one is missing");
  uninstall->callback([&ctx] {
    if (!attach(ctx.root)) {
      ctx.status = 1;
      return;
    }
    ctx.status = uninstallProduct(opts.imageDir, false);
  });
}

}  // namespace nxdevice
