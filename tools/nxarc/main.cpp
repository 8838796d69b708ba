// nxarc: drives archivekit.dll's readers the way the engine's archive walk
// does (load through the platform loader, create a reader, Open, ExtractNext
// into temporary files until it answers 0, Close, delete, free) and reports
// or keeps what came out.
//
//   nxarc list [--kind cab|sis|sisx|arj] [--json] ARCHIVE
//   nxarc extract [--kind cab|sis|sisx|arj] ARCHIVE DIR
//   nxarc test [--kind ...] [--repeat N] ARCHIVE
//
// "test" takes every member into a temporary file as list does, without
// hashing, N times over, and reports the bytes delivered and the time spent
// from Open to Close, wall clock and processor (the module is loaded once,
// as in the engine).
//
// Exit status: 0 when the archive opened, 2 when it did not, 1 for usage or
// set-up errors. The tool runs on a device of its own (NX_DEVICE_ROOT when
// set, otherwise a temporary one removed afterwards); host files are reached
// through the device's "\Host" mount.
#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "archivekit/archivekit_api.h"
#include "ce/ce.h"
#include "platform/platform_api.h"

namespace fs = std::filesystem;

namespace {

struct Options {
  std::string command;
  std::string kind;
  bool json = false;
  std::string archive;
  std::string dir;
  int repeat = 1;
};

int usage() {
  std::fprintf(stderr,
               "usage: nxarc list [--kind cab|sis|sisx|arj] [--json] ARCHIVE\n"
               "       nxarc extract [--kind cab|sis|sisx|arj] ARCHIVE DIR\n"
               "       nxarc test [--kind cab|sis|sisx|arj] [--repeat N] ARCHIVE\n");
  return 1;
}

std::u16string hostToDevice(const std::string& host) {
  std::string abs = fs::absolute(host).lexically_normal().string();
  std::u16string out = u"\\Host";
  for (char16_t c : ce::utf8ToUtf16(abs)) out.push_back(c == u'/' ? u'\\' : c);
  return out;
}

// SHA-256 and length of a host file, read in pieces (members may be large).
bool hashFile(const std::string& path, std::string& hexOut, uint64_t& length) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
  std::vector<char> buf(1 << 20);
  length = 0;
  size_t n;
  while ((n = std::fread(buf.data(), 1, buf.size(), f)) > 0) {
    EVP_DigestUpdate(ctx, buf.data(), n);
    length += n;
  }
  std::fclose(f);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int dn = 0;
  EVP_DigestFinal_ex(ctx, digest, &dn);
  EVP_MD_CTX_free(ctx);
  static const char* hex = "0123456789abcdef";
  hexOut.clear();
  for (unsigned int i = 0; i < dn; ++i) {
    hexOut.push_back(hex[digest[i] >> 4]);
    hexOut.push_back(hex[digest[i] & 15]);
  }
  return true;
}

std::string jsonString(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out + "\"";
}

// A member name made safe below DIR: folders from backslashes and slashes,
// no root, no "." or ".." parts, no empty parts.
std::string safeName(const std::string& name) {
  std::vector<std::string> parts;
  std::string part;
  auto flush = [&] {
    if (!part.empty() && part != "." && part != "..") parts.push_back(part);
    part.clear();
  };
  for (char c : name) {
    if (c == '\\' || c == '/')
      flush();
    else if (c != ':')
      part.push_back(c);
    else
      part.push_back('_');
  }
  flush();
  if (parts.empty()) return "unnamed";
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) out += (i ? "/" : "") + parts[i];
  return out;
}

// The kind the archive calls for: the given one, ".arj" for ARJ, otherwise
// the cabinet reader (which searches the whole file for a cabinet).
std::string detectKind(const Options& o) {
  if (!o.kind.empty()) return o.kind;
  std::string ext = fs::path(o.archive).extension().string();
  for (auto& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (ext == ".arj") return "arj";
  return "cab";
}

struct Kind {
  const char16_t* module;
  const char16_t* create;
  const char16_t* destroy;
};

bool kindExports(const std::string& kind, Kind& k) {
  if (kind == "cab") k = {u"archivekit.dll", u"CreateCabSdkObject", u"DeleteCabSdkObject"};
  else if (kind == "sis") k = {u"archivekit.dll", u"CreateSisSdkObject", u"DeleteSisSdkObject"};
  else if (kind == "sisx") k = {u"archivekit.dll", u"CreateSisxSdkObject", u"DeleteSisxSdkObject"};
  else if (kind == "arj") k = {u"arjkit.dll", u"CreateArjSdkObject", u"DeleteArjSdkObject"};
  else return false;
  return true;
}

std::string imageDir(const char* argv0) {
  if (const char* env = std::getenv("NX_IMAGE_DIR")) return env;
  std::error_code ec;
  fs::path self = fs::canonical("/proc/self/exe", ec);
  if (!ec) {
    fs::path candidate = self.parent_path().parent_path() / "image";
    if (fs::exists(candidate / "archivekit.dll")) return candidate.string();
  }
  return NXARC_IMAGE_DIR;
}

struct DeviceScope {
  std::string tempRoot;
  bool ready = false;
  DeviceScope() {
    if (const char* env = std::getenv("NX_DEVICE_ROOT"); env && *env) {
      ready = ce::AttachDevice(env) || ce::CreateDevice(env);
      return;
    }
    char tmpl[] = "/tmp/nxarc-device.XXXXXX";
    if (!::mkdtemp(tmpl)) return;
    tempRoot = tmpl;
    ready = ce::CreateDevice(tempRoot);
  }
  ~DeviceScope() {
    if (!tempRoot.empty()) {
      std::error_code ec;
      fs::remove_all(tempRoot, ec);
    }
  }
};

int run(const Options& o, const char* argv0) {
  std::string kind = detectKind(o);
  Kind k{};
  if (!kindExports(kind, k)) return usage();
  if (!fs::is_regular_file(o.archive)) {
    std::fprintf(stderr, "nxarc: %s: not a file\n", o.archive.c_str());
    return 2;
  }
  DeviceScope device;
  if (!device.ready) {
    std::fprintf(stderr, "nxarc: no device\n");
    return 1;
  }
  ce::EnableHostMount(true);
  std::u16string modulePath = hostToDevice(imageDir(argv0) + "/" + ce::utf16ToUtf8(k.module));
  ce::HMODULE module = MyLoadLibraryW(modulePath.c_str());
  if (!module) {
    std::fprintf(stderr, "nxarc: cannot load %s\n", ce::utf16ToUtf8(modulePath).c_str());
    return 1;
  }
  auto create = reinterpret_cast<PFN_CreateArchiveObject>(MyGetProcAddressW(module, k.create));
  auto destroy = reinterpret_cast<PFN_DeleteArchiveObject>(MyGetProcAddressW(module, k.destroy));
  if (!create || !destroy) {
    std::fprintf(stderr, "nxarc: the %s reader is not available\n", kind.c_str());
    MyFreeLibrary(module);
    return 1;
  }
  ArchiveReaderObject* reader = nullptr;
  if (!create(&reader) || !reader) {
    MyFreeLibrary(module);
    return 1;
  }
  std::u16string archive = hostToDevice(o.archive);
  int status = 2;
  uint64_t testBytes = 0;
  auto started = std::chrono::steady_clock::now();
  std::clock_t cpuStarted = std::clock();
  for (int round = 0; round < o.repeat; ++round) {
    if (archive.size() >= ce::MAX_PATH || !reader->ops->Open(reader, -1, archive.c_str())) break;
    status = 0;
    ce::CreateDirectoryW(u"\\Temp", nullptr);
    std::map<std::string, int> seen;
    // One temporary name serves every member: each member file is deleted
    // before the next one is written.
    ce::WCHAR tempName[32] = {};
    if (!GetNXUniqueFilenameW(u"\\Temp\\", u"tmp", tempName)) break;
    for (int index = 0;; ++index) {
      std::u16string tempDevice = std::u16string(u"\\Temp\\") + tempName;
      std::string tempHost = ce::DeviceRoot() + "/Temp/" + ce::utf16ToUtf8(tempName);
      ce::WCHAR name[ce::MAX_PATH] = {};
      int32_t got = reader->ops->ExtractNext(reader, tempDevice.c_str(), name);
      if (!got) {
        ce::DeleteFileW(tempDevice.c_str());
        break;
      }
      std::string nameUtf8 = ce::utf16ToUtf8(name);
      if (o.command == "test") {
        std::error_code ec;
        uint64_t length = fs::file_size(tempHost, ec);
        testBytes += length;
        if (round == 0) std::printf("%d %llu %s\n", index, static_cast<unsigned long long>(length), nameUtf8.c_str());
      } else if (o.command == "list") {
        std::string hex;
        uint64_t length = 0;
        hashFile(tempHost, hex, length);
        if (o.json) {
          std::printf("{\"index\":%d,\"name\":%s,\"length\":%llu,\"sha256\":\"%s\",\"result\":\"ok\"}\n", index,
                      jsonString(nameUtf8).c_str(), static_cast<unsigned long long>(length), hex.c_str());
        } else {
          std::printf("%d %llu %s\n", index, static_cast<unsigned long long>(length), nameUtf8.c_str());
        }
      } else {
        std::string rel = safeName(nameUtf8);
        int n = seen[rel]++;
        if (n > 0) {
          // "a" seen before becomes "a.1", "a.2"...; skip names taken already.
          std::string base = rel;
          do rel = base + "." + std::to_string(n++);
          while (seen.count(rel));
          seen[base] = n;
          seen[rel] = 1;
        }
        fs::path target = fs::path(o.dir) / rel;
        std::error_code ec;
        fs::create_directories(target.parent_path(), ec);
        fs::remove(target, ec);
        fs::rename(tempHost, target, ec);
        if (ec) {
          ec.clear();
          fs::copy_file(tempHost, target, fs::copy_options::overwrite_existing, ec);
        }
        if (ec) {
          std::fprintf(stderr, "nxarc: cannot write %s\n", target.string().c_str());
        } else {
          std::printf("%d %llu %s\n", index, static_cast<unsigned long long>(fs::file_size(target, ec)), rel.c_str());
        }
      }
      std::fflush(stdout);
      ce::DeleteFileW(tempDevice.c_str());
    }
    reader->ops->Close(reader);
  }
  if (o.command == "test" && status == 0) {
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    double cpu = static_cast<double>(std::clock() - cpuStarted) / CLOCKS_PER_SEC;
    std::printf("total %llu bytes in %.6f s (cpu %.6f s)\n", static_cast<unsigned long long>(testBytes), seconds, cpu);
  }
  destroy(reader);
  MyFreeLibrary(module);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return usage();
  o.command = args[0];
  if (o.command != "list" && o.command != "extract" && o.command != "test") return usage();
  std::vector<std::string> positional;
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--json") {
      o.json = true;
    } else if (args[i] == "--repeat" && i + 1 < args.size()) {
      o.repeat = std::max(1, std::atoi(args[++i].c_str()));
    } else if (args[i] == "--kind" && i + 1 < args.size()) {
      o.kind = args[++i];
    } else if (args[i].rfind("--kind=", 0) == 0) {
      o.kind = args[i].substr(7);
    } else {
      positional.push_back(args[i]);
    }
  }
  if ((o.command == "list" || o.command == "test") && positional.size() != 1) return usage();
  if (o.command == "extract" && positional.size() != 2) return usage();
  if (o.json && o.command != "list") return usage();
  o.archive = positional[0];
  if (o.command == "extract") o.dir = positional[1];
  return run(o, argv[0]);
}
