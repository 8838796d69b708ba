// Writes decoder seeds from ARJ archives: each member's method, stated size
// and packed bytes in the decoder target's input format
// (<dir>/<archive>-<member>). Usage: arj_fuzz_seeds OUTDIR ARCHIVE...
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc < 3) return 1;
  for (int a = 2; a < argc; ++a) {
    std::ifstream in(argv[a], std::ios::binary);
    std::vector<uint8_t> d((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto u16 = [&](size_t p) { return p + 2 <= d.size() ? d[p] | d[p + 1] << 8 : 0; };
    auto u32 = [&](size_t p) { return p + 4 <= d.size() ? static_cast<uint32_t>(u16(p) | u16(p + 2) << 16) : 0u; };
    size_t at = 0;
    bool main = true;
    for (int member = 0; at + 4 <= d.size() && u16(at) == 0xEA60 && u16(at + 2) != 0 && member < 64;) {
      size_t size = u16(at + 2), basic = at + 4;
      if (basic + size > d.size() || size < 30) break;
      size_t next = basic + size + 4;
      while (next + 2 <= d.size() && u16(next) != 0) next += 2 + u16(next) + 4;
      next += 2;
      if (!main) {
        uint32_t packed = u32(basic + 12), original = u32(basic + 16);
        if (next + packed > d.size()) break;
        std::string base = std::string(argv[a]);
        base = base.substr(base.find_last_of('/') + 1);
        std::ofstream out(std::string(argv[1]) + "/" + base + "-" + std::to_string(member++), std::ios::binary);
        out.put(static_cast<char>(d[basic + 5]));
        for (int k = 0; k < 4; ++k) out.put(static_cast<char>(original >> (8 * k)));
        out.write(reinterpret_cast<const char*>(d.data() + next), packed);
        next += packed;
      }
      main = false;
      at = next;
    }
  }
  return 0;
}
