// Writes fuzz seeds from cabinet files: for every folder of a known method,
// the folder's data blocks in the decoder targets' input format
// (<dir>/cab_<method>/<cabinet>-<folder>). Usage: cab_fuzz_seeds OUTDIR CABINET...
#include <cstdio>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc < 3) return 1;
  const char* methods[] = {"stored", "mszip", "quantum", "lzx"};
  for (int a = 2; a < argc; ++a) {
    std::ifstream in(argv[a], std::ios::binary);
    std::vector<uint8_t> d((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (d.size() < 36 || d[0] != 'M' || d[1] != 'S' || d[2] != 'C' || d[3] != 'F') continue;
    auto u16 = [&](size_t p) { return p + 2 <= d.size() ? d[p] | d[p + 1] << 8 : 0; };
    auto u32 = [&](size_t p) { return p + 4 <= d.size() ? static_cast<uint32_t>(u16(p) | u16(p + 2) << 16) : 0u; };
    int folders = u16(26), flags = u16(30);
    size_t at = 36;
    int folderReserve = 0, dataReserve = 0;
    if (flags & 4) {
      at += 4 + u16(36);
      folderReserve = d[38];
      dataReserve = d[39];
    }
    for (int bit : {1, 2})
      if (flags & bit)
        for (int s = 0; s < 2; ++s) {
          while (at < d.size() && d[at]) ++at;
          ++at;
        }
    std::string base = argv[a];
    base = base.substr(base.find_last_of('/') + 1);
    for (int f = 0; f < folders; ++f, at += 8 + folderReserve) {
      uint32_t data = u32(at);
      int blocks = u16(at + 4), type = u16(at + 6);
      if ((type & 15) > 3) continue;
      std::vector<uint8_t> seed{static_cast<uint8_t>((type >> 8) & 0x1F)};
      size_t p = data;
      for (int b = 0; b < blocks && b < 64 && p + 8 <= d.size(); ++b) {
        int packed = u16(p + 4);
        size_t from = p + 8 + static_cast<size_t>(dataReserve);
        if (from + static_cast<size_t>(packed) > d.size()) break;
        seed.insert(seed.end(), d.begin() + static_cast<long>(p + 4), d.begin() + static_cast<long>(p + 8));
        seed.insert(seed.end(), d.begin() + static_cast<long>(from), d.begin() + static_cast<long>(from + packed));
        p = from + static_cast<size_t>(packed);
      }
      std::string out = std::string(argv[1]) + "/cab_" + methods[type & 15] + "/" + base + "-" + std::to_string(f);
      std::ofstream(out, std::ios::binary).write(reinterpret_cast<const char*>(seed.data()),
                                                 static_cast<std::streamsize>(seed.size()));
    }
  }
  return 0;
}
