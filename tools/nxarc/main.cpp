// nxarc: drives the engine's archive readers (archivekit.dll for cabinets
// and installation files, arjkit.dll for ARJ archives) the way the engine's
// archive walk does (load through the platform loader, create a reader,
// Open, ExtractNext into temporary files until it answers 0, Close, delete,
// free) and reports or keeps what came out. The reader is the one the
// engine's own type detector calls for, the ARJ reader for an ".arj" name of
// no detected archive type; --kind overrides both.
//
//   nxarc list [--kind cab|sis|sisx|arj] [--json] [LIMITS] ARCHIVE
//   nxarc extract [--kind cab|sis|sisx|arj] [LIMITS] ARCHIVE DIR
//   nxarc test [--kind ...] [--repeat N] [LIMITS] ARCHIVE
//
// LIMITS are the engine's scan limits, applied to the one archive:
// --max-scan-size BYTES[K|M|G] (what the reader may produce), --max-files N
// (members taken), --max-scan-time SECONDS; 0 lifts a limit; the defaults
// are the engine's.
//
// "test" takes every member into a temporary file as list does, without
// hashing, N times over, and reports the bytes delivered and the time spent
// from Open to Close, wall clock and processor (the module is loaded once,
// as in the engine).
//
// Exit status: 0 when the archive opened and every member it holds came
// out; 2 when it did not open (no file, no archive type, no reader for the
// type in this build, the reader refused it), when a limit stopped the walk
// or when members could not be delivered (the reason on standard error);
// 1 for usage or set-up errors. The tool runs on a device of its own
// (NX_DEVICE_ROOT when set, otherwise a temporary one removed afterwards);
// host files are reached through the device's "\Host" mount.
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

#include "ce/ce.h"
#include "platform/platform_api.h"
#include "tools/nxarc/readers.h"
#include "tools/scan_limits.h"

namespace fs = std::filesystem;

namespace {

struct Options {
  std::string command;
  std::string kind;
  bool json = false;
  std::string archive;
  std::string dir;
  int repeat = 1;
  uint64_t maxScanSize = nxtools::kDefaultMaxScanSize;
  uint32_t maxFiles = nxtools::kDefaultMaxFiles;
  uint32_t maxScanTimeMs = nxtools::kDefaultMaxScanTimeMs;
};

int usage() {
  std::fprintf(stderr,
               "usage: nxarc list [--kind cab|sis|sisx|arj] [--json] [LIMITS] ARCHIVE\n"
               "       nxarc extract [--kind cab|sis|sisx|arj] [LIMITS] ARCHIVE DIR\n"
               "       nxarc test [--kind cab|sis|sisx|arj] [--repeat N] [LIMITS] ARCHIVE\n"
               "LIMITS: --max-scan-size BYTES[K|M|G] --max-files N --max-scan-time SECONDS (0: none)\n");
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

constexpr size_t kMaxPartBytes = 200;

// A member name made safe below DIR: folders from backslashes and slashes,
// no root, no "." or ".." parts, no empty parts.
std::string safeName(const std::string& name) {
  std::vector<std::string> parts;
  std::string part;
  auto flush = [&] {
    // A part longer than a host file name may be is cut, on a character boundary.
    if (part.size() > kMaxPartBytes) {
      size_t cut = kMaxPartBytes;
      while (cut > 0 && (static_cast<unsigned char>(part[cut]) & 0xC0) == 0x80) --cut;
      part.resize(cut);
    }
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

// The reader the archive calls for: the one asked for, otherwise the one
// the engine's detector picks, and the ARJ reader for an ".arj" name the
// detector sees no archive in (an ARJ archive may follow a stub). The exit
// status goes through `status` when there is none.
bool chooseKind(const Options& o, const std::u16string& image, const std::u16string& archive, nxarc::Kind& kind,
                int& status) {
  if (!o.kind.empty()) {
    if (nxarc::parseKind(o.kind, kind)) return true;
    status = usage();
    return false;
  }
  std::string error;
  bool setup = false;
  const int32_t type = nxarc::classifyArchive(image, archive, error, setup);
  if (type < 0) {
    std::fprintf(stderr, "nxarc: %s: %s\n", o.archive.c_str(), error.c_str());
    status = setup ? 1 : 2;
    return false;
  }
  if (nxarc::kindForType(type, kind)) return true;
  std::string ext = fs::path(o.archive).extension().string();
  for (auto& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (ext == ".arj") {
    kind = nxarc::Kind::Arj;
    return true;
  }
  std::fprintf(stderr, "nxarc: %s: not an archive nxarc can read (file type %d)\n", o.archive.c_str(),
               static_cast<int>(type));
  status = 2;
  return false;
}

// How the member just taken came out: "ok", or why its bytes are not the
// member's. The ARJ reader answers for every member, good or not, and keeps
// its verdict aside.
std::string memberResult(const nxarc::BoundReader& bound, const std::string& tempHost) {
  const int32_t verdict = bound.lastMemberResult();
  if (verdict == -115) return "refused";
  if (verdict != 1) return "unreadable";
  std::error_code ec;
  if (!fs::is_regular_file(tempHost, ec)) return "missing";
  return "ok";
}

struct Walk {
  const Options& o;
  nxarc::BoundReader& bound;
  std::map<std::string, int> seen;
  uint64_t testBytes = 0;
};

void takeMember(Walk& w, int index, int round, const std::string& tempHost, const std::string& nameUtf8) {
  const Options& o = w.o;
  const std::string result = memberResult(w.bound, tempHost);
  if (result != "ok")
    std::fprintf(stderr, "nxarc: member %d (%s): %s\n", index, nameUtf8.c_str(), result.c_str());
  if (o.command == "test") {
    std::error_code ec;
    uint64_t length = fs::is_regular_file(tempHost, ec) ? fs::file_size(tempHost, ec) : 0;
    if (ec) length = 0;
    w.testBytes += length;
    if (round == 0) std::printf("%d %llu %s\n", index, static_cast<unsigned long long>(length), nameUtf8.c_str());
  } else if (o.command == "list") {
    std::string hex;
    uint64_t length = 0;
    // No file written: nothing came out, and the hash is that of no bytes.
    if (!hashFile(tempHost, hex, length)) hashFile("/dev/null", hex, length);
    if (o.json) {
      std::printf("{\"index\":%d,\"name\":%s,\"length\":%llu,\"sha256\":\"%s\",\"result\":\"%s\"}\n", index,
                  jsonString(nameUtf8).c_str(), static_cast<unsigned long long>(length), hex.c_str(),
                  result.c_str());
    } else {
      std::printf("%d %llu %s\n", index, static_cast<unsigned long long>(length), nameUtf8.c_str());
    }
  } else {
    // A member whose bytes are not its own is not written out as if it were.
    if (result != "ok") return;
    std::string rel = safeName(nameUtf8);
    int n = w.seen[rel]++;
    if (n > 0) {
      // "a" seen before becomes "a.1", "a.2"...; skip names taken already.
      std::string base = rel;
      do rel = base + "." + std::to_string(n++);
      while (w.seen.count(rel));
      w.seen[base] = n;
      w.seen[rel] = 1;
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
}

// Removes a member's temporary file, or the folder a reader made in its place.
void removeTemp(const std::u16string& tempDevice) {
  const ce::DWORD attr = ce::GetFileAttributesW(tempDevice.c_str());
  if (attr == ce::INVALID_FILE_ATTRIBUTES) return;
  if (attr & ce::FILE_ATTRIBUTE_DIRECTORY)
    ce::RemoveDirectoryW(tempDevice.c_str());
  else
    ce::DeleteFileW(tempDevice.c_str());
}

int run(const Options& o, const char* argv0) {
  if (!o.kind.empty()) {
    nxarc::Kind checked;
    if (!nxarc::parseKind(o.kind, checked)) return usage();
  }
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
  const std::u16string image = hostToDevice(imageDir(argv0));
  const std::u16string archive = hostToDevice(o.archive);
  if (archive.size() >= ce::MAX_PATH) {
    std::fprintf(stderr, "nxarc: %s: the path is too long for the device\n", o.archive.c_str());
    return 2;
  }
  nxarc::Kind kind{};
  int status = 2;
  if (!chooseKind(o, image, archive, kind, status)) return status;

  nxarc::BoundReader bound;
  std::string error;
  bool missing = false;
  if (!bound.bind(kind, image, error, missing)) {
    std::fprintf(stderr, "nxarc: %s\n", error.c_str());
    return missing ? 2 : 1;
  }
  ArchiveReader* reader = bound.get();
  Walk w{o, bound, {}, 0};
  status = 2;
  auto started = std::chrono::steady_clock::now();
  std::clock_t cpuStarted = std::clock();
  bool opened = false;
  uint32_t stopped = 0;     // limits the walk stopped at
  uint32_t undelivered = 0;  // members held but not delivered
  for (int round = 0; round < o.repeat; ++round) {
    ArchiveReaderLimits limits{};
    limits.size = sizeof limits;
    limits.maxBytes = o.maxScanSize ? o.maxScanSize : UINT64_MAX;
    limits.deadline = o.maxScanTimeMs ? nx::ReaderBudget::after(o.maxScanTimeMs) : 0;
    bound.setLimits(limits);
    ArchiveReaderStatus st{};
    if (!reader->ops->Open(reader, -1, archive.c_str())) {
      if (bound.status(st) && st.limits)
        std::fprintf(stderr, "nxarc: %s: limits exceeded (%s)\n", o.archive.c_str(),
                     nxtools::limitNames(st.limits).c_str());
      else
        std::fprintf(stderr, "nxarc: %s: the %s reader cannot open it\n", o.archive.c_str(), nxarc::kindName(kind));
      break;
    }
    status = 0;
    opened = true;
    ce::CreateDirectoryW(u"\\Temp", nullptr);
    w.seen.clear();
    // One temporary name serves every member: each member file is deleted
    // before the next one is written.
    ce::WCHAR tempName[32] = {};
    if (!GetNXUniqueFilenameW(u"\\Temp\\", u"tmp", tempName)) {
      reader->ops->Close(reader);
      break;
    }
    const std::u16string tempDevice = std::u16string(u"\\Temp\\") + tempName;
    const std::string tempHost = ce::DeviceRoot() + "/Temp/" + ce::utf16ToUtf8(tempName);
    uint32_t files = 0;
    for (int index = 0;; ++index) {
      if (o.maxFiles && files == o.maxFiles) {
        // As the engine does: the archive stops here, and only an archive
        // that holds more has met the limit.
        if (bound.status(st) && st.pending) stopped |= NX_SCAN_LIMIT_FILES;
        break;
      }
      ce::WCHAR name[ce::MAX_PATH + 1] = {};
      const int32_t got = reader->ops->ExtractNext(reader, tempDevice.c_str(), name);
      name[ce::MAX_PATH - 1] = 0;
      if (got != 1) {
        removeTemp(tempDevice);
        break;
      }
      ++files;
      takeMember(w, index, round, tempHost, ce::utf16ToUtf8(name));
      std::fflush(stdout);
      removeTemp(tempDevice);
    }
    if (bound.status(st)) {
      stopped |= st.limits;
      undelivered = st.undelivered;
    }
    reader->ops->Close(reader);
  }
  if (status == 0 && stopped) {
    std::fprintf(stderr, "nxarc: %s: limits exceeded (%s)\n", o.archive.c_str(), nxtools::limitNames(stopped).c_str());
    status = 2;
  }
  if (status == 0 && undelivered) {
    std::fprintf(stderr, "nxarc: %s: %u member%s could not be delivered (incomplete archive)\n", o.archive.c_str(),
                 undelivered, undelivered == 1 ? "" : "s");
    status = 2;
  }
  if (o.command == "test" && opened) {
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    double cpu = static_cast<double>(std::clock() - cpuStarted) / CLOCKS_PER_SEC;
    std::printf("total %llu bytes in %.6f s (cpu %.6f s)\n", static_cast<unsigned long long>(w.testBytes), seconds,
                cpu);
  }
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
    } else if (args[i] == "--max-scan-size" && i + 1 < args.size()) {
      if (!nxtools::parseSize(args[++i], o.maxScanSize)) return usage();
    } else if (args[i] == "--max-files" && i + 1 < args.size()) {
      uint64_t n = 0;
      if (!nxtools::parseSize(args[++i], n) || n > UINT32_MAX) return usage();
      o.maxFiles = static_cast<uint32_t>(n);
    } else if (args[i] == "--max-scan-time" && i + 1 < args.size()) {
      if (!nxtools::parseSeconds(args[++i], o.maxScanTimeMs)) return usage();
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
