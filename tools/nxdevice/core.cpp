// nxdevice: the device's own commands: init, info, card, clock, install.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "ce/ce.h"
#include "commands.h"
#include "common/install_dir.h"

namespace nxdevice {

int fail(const std::string& what) {
  std::fprintf(stderr, "nxdevice: %s (error %u)\n", what.c_str(), ce::GetLastError());
  return 1;
}

bool attach(const std::string& root) {
  if (ce::AttachDevice(root)) return true;
  std::fprintf(stderr, "nxdevice: no device at %s (run 'nxdevice init' first)\n", root.c_str());
  return false;
}

namespace {


std::string installedVersion();


int cmdInit(const std::string& root, const std::string& kind) {
  if (!ce::CreateDevice(root)) return fail("cannot create a device at " + root);
  if (!kind.empty() && !ce::SetDeviceKind(kind)) return fail("cannot set the device's kind to " + kind);
  mapDevicePrograms();
  std::printf("device ready at %s (%s)\n", ce::DeviceRoot().c_str(), ce::DeviceKind().c_str());
  return 0;
}

int cmdInfo(const std::string& root) {
  if (!attach(root)) return 1;
  ce::SYSTEMTIME t;
  ce::GetLocalTime(&t);
  std::string card = ce::StorageCardFolder();
  std::printf("device root:   %s\n", ce::DeviceRoot().c_str());
  std::printf("kind:          %s\n", ce::DeviceKind().c_str());
  std::printf("mounts:\n");
  std::printf("  \\              -> %s\n", ce::DeviceRoot().c_str());
  std::printf("  \\Storage Card  -> %s\n", card.empty() ? "(no card inserted)" : card.c_str());
  std::printf("  \\Host          -> / (host tools only)\n");
  std::printf("clock:         %04u-%02u-%02u %02u:%02u:%02u local, speed x%g, bias %d min\n", t.wYear, t.wMonth,
              t.wDay, t.wHour, t.wMinute, t.wSecond, ce::GetClockSpeed(), ce::GetTimeZoneBias());
  std::printf("installed:     %s\n", installedVersion().c_str());
  return 0;
}

// The installed version from scanver.cnf in the installation directory:
// "1.00, signatures of 2026-12-10 00:00", or why there is none.
std::string installedVersion() {
  ce::WCHAR dir[ce::MAX_PATH];
  if (!nx::getInstallDirectory(dir, ce::MAX_PATH)) return "(unknown installation directory)";
  std::u16string path = std::u16string(dir) + u"\\scanver.cnf";
  ce::HANDLE f = ce::CreateFileW(path.c_str(), ce::GENERIC_READ, ce::FILE_SHARE_READ, nullptr, ce::OPEN_EXISTING, 0,
                                 nullptr);
  if (f == ce::INVALID_HANDLE_VALUE) return "not installed";
  uint16_t v[10] = {};
  ce::DWORD got = 0;
  bool ok = ce::ReadFile(f, v, sizeof v, &got, nullptr) && got == sizeof v;
  ce::CloseHandle(f);
  if (!ok) return "damaged scanver.cnf";
  char text[96];
  std::snprintf(text, sizeof text, "%d.%02d, signatures of %04u-%02u-%02u %02u:%02u", v[0], v[1], v[2], v[3], v[5],
                v[6], v[7]);
  return text;
}

// Copies every file of the install image into the device's installation
// directory, creating the device and the directory as needed.
int cmdInstall(const std::string& root, std::string image) {
  namespace fs = std::filesystem;
  if (image.empty()) {
    // The image built beside this program: <build>/bin/nxdevice -> <build>/image.
    char self[4096];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return fail("cannot find the install image; name it: nxdevice install IMAGE");
    self[n] = 0;
    image = (fs::path(self).parent_path().parent_path() / "image").string();
  }
  std::error_code ec;
  fs::path img = fs::absolute(image, ec);
  if (ec || !fs::is_directory(img, ec) || !fs::exists(img / "avapi.dll", ec)) {
    std::fprintf(stderr, "nxdevice: %s is not an install image (no avapi.dll)\n", image.c_str());
    return 1;
  }
  if (!ce::AttachDevice(root) && !ce::CreateDevice(root)) return fail("cannot create a device at " + root);
  ce::EnableHostMount(true);
  ce::WCHAR dir[ce::MAX_PATH];
  if (!nx::getInstallDirectory(dir, ce::MAX_PATH)) return fail("cannot determine the installation directory");
  std::u16string target(dir);
  // Every level of the directory.
  for (size_t i = 1; i <= target.size(); ++i)
    if (i == target.size() || target[i] == u'\\') ce::CreateDirectoryW(target.substr(0, i).c_str(), nullptr);
  int copied = 0;
  for (const auto& e : fs::directory_iterator(img, ec)) {
    if (!e.is_regular_file()) continue;
    std::string host = "\\Host" + e.path().string();
    for (char& c : host)
      if (c == '/') c = '\\';
    std::u16string to = target + u"\\" + ce::utf8ToUtf16(e.path().filename().string());
    ce::SetFileAttributesW(to.c_str(), ce::FILE_ATTRIBUTE_NORMAL);
    if (!ce::CopyFileW(ce::utf8ToUtf16(host).c_str(), to.c_str(), false))
      return fail("cannot copy " + e.path().filename().string());
    ++copied;
  }
  if (ec) return fail("cannot list " + image);
  mapInstalledPrograms(img.string(), target);
  // The product folders setup makes beside the modules: without "Config"
  // every settings read fails and is retried in full on every call.
  for (const char16_t* sub : {u"\\Config", u"\\temp", u"\\Log", u"\\Report", u"\\Quarantine"}) {
    std::u16string folder = target + sub;
    if (!ce::CreateDirectoryW(folder.c_str(), nullptr) && ce::GetLastError() != ce::ERROR_ALREADY_EXISTS)
      return fail("cannot create " + ce::utf16ToUtf8(folder));
  }
  std::printf("installed %d files from %s into %s\n", copied, img.c_str(), ce::utf16ToUtf8(target).c_str());
  std::printf("installed:     %s\n", installedVersion().c_str());
  return 0;
}

// Option values of this file's subcommands; CLI11 writes into them while parsing.
struct Options {
  std::string initRoot;
  std::string kind;
  std::string cardDir;
  double speed = 1;
  std::string imageDir;
  std::string updateKey;
} opts;

}  // namespace

void addCoreCommands(CLI::App& app, Context& ctx) {
  auto* init = app.add_subcommand("init", "create a device (folders, registry, settings)");
  init->add_option("--root", opts.initRoot, "where to create it (default: the device root)");
  std::vector<std::string> kinds(std::begin(ce::kDeviceKinds), std::end(ce::kDeviceKinds));
  init->add_option("--kind", opts.kind, "the handset: pocketpc-5.1 (default), pocketpc-5.2, smartphone-5.1, smartphone-5.2")
      ->check(CLI::IsMember(kinds));
  init->callback([&ctx] { ctx.status = cmdInit(opts.initRoot.empty() ? ctx.root : opts.initRoot, opts.kind); });

  app.add_subcommand("info", "show where the device is, its mounts and its clock")->callback([&ctx] {
    ctx.status = cmdInfo(ctx.root);
  });

  auto* card = app.add_subcommand("card", "insert or remove the storage card");
  card->require_subcommand(1);
  auto* insert = card->add_subcommand("insert", "mount a host folder as \\Storage Card");
  insert->add_option("FOLDER", opts.cardDir, "host folder")->required();
  insert->callback([&ctx] {
    if (!attach(ctx.root)) {
      ctx.status = 1;
      return;
    }
    if (!ce::InsertStorageCard(opts.cardDir)) {
      ctx.status = fail("cannot insert " + opts.cardDir);
      return;
    }
    std::printf("storage card inserted: %s\n", ce::StorageCardFolder().c_str());
  });
  card->add_subcommand("remove", "remove the storage card")->callback([&ctx] {
    if (!attach(ctx.root)) {
      ctx.status = 1;
      return;
    }
    if (!ce::RemoveStorageCard()) {
      ctx.status = fail("cannot remove the card");
      return;
    }
    std::printf("storage card removed\n");
  });

  auto* clockCmd = app.add_subcommand("clock", "set the device clock's speed factor");
  clockCmd->add_option("SPEED", opts.speed, "device seconds per host second")->required();
  clockCmd->callback([&ctx] {
    if (!attach(ctx.root)) {
      ctx.status = 1;
      return;
    }
    if (!ce::SetClockSpeed(opts.speed)) {
      ctx.status = fail("bad clock speed");
      return;
    }
    std::printf("clock speed x%g\n", opts.speed);
  });

  auto* install = app.add_subcommand("install", "copy the install image into the device (created if needed)");
  install->add_option("IMAGE", opts.imageDir, "install image folder (default: the one built beside nxdevice)");
  install->add_option("--update-key", opts.updateKey,
                      "an Ed25519 public key (PEM): the device then installs only updates signed with it");
  install->callback([&ctx] {
    ctx.status = cmdInstall(ctx.root, opts.imageDir);
    if (ctx.status == 0 && !opts.updateKey.empty()) ctx.status = storeUpdateKey(opts.updateKey);
  });
}

}  // namespace nxdevice
