// Support for the scan-object and archive-walk tests: files of every kind
// the lists care about, test archives in the test archive module's layout,
// an event handler that records and answers, and a harness that plays the
// session layer (list, Open, Scan, Close, release).
#pragma once

#include <functional>

#include "scan_fixture.h"
#include "filekit/filekit_api.h"
#include "threatlist/threatlist_api.h"

namespace scantest {

inline const std::string kEicar = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

inline void le32(std::string& b, size_t at, uint32_t v) {
  if (b.size() < at + 4) b.resize(at + 4);
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
}

// A CE program (5084), with text appended (markers for the test scanners).
inline std::string ceProgram(const std::string& tail = "", uint16_t characteristics = 2) {
  std::string b(512, '\0');
  b[0] = 'M';
  b[1] = 'Z';
  le32(b, 60, 0x80);
  std::memcpy(b.data() + 0x80, "PE\0\0", 4);
  b[0x80 + 4 + 18] = static_cast<char>(characteristics & 0xFF);
  b[0x80 + 4 + 19] = static_cast<char>(characteristics >> 8);
  b[0x80 + 24] = 0x0B;
  b[0x80 + 25] = 0x01;
  b[0x80 + 24 + 68] = 9;
  return b + tail;
}

enum class Kind { Cab, Sis, Sisx };
struct Member {
  std::string name;
  std::string data;
};

// An archive of the kind's real header followed by the member table.
inline std::string archive(Kind kind, const std::vector<Member>& members) {
  std::string b(16, '\0');
  switch (kind) {
    case Kind::Cab: std::memcpy(b.data(), "MSCF", 4); break;
    case Kind::Sis:
      le32(b, 0, 0x10000001);
      le32(b, 4, 0x10003A12);
      le32(b, 8, 0x10000419);
      break;
    case Kind::Sisx: std::memcpy(b.data(), "\x7A\x1A\x20\x10", 4); break;
  }
  b += "NXTA";
  for (const Member& m : members) {
    b.push_back(static_cast<char>(m.name.size() & 0xFF));
    b.push_back(static_cast<char>(m.name.size() >> 8));
    b += m.name;
    std::string len;
    le32(len, 0, static_cast<uint32_t>(m.data.size()));
    b += len;
    b += m.data;
  }
  if (kind == Kind::Cab) le32(b, 8, static_cast<uint32_t>(b.size()));
  return b;
}

struct Event {
  int32_t code;
  std::string display;
  int32_t type;
  uint32_t length;
  std::string threat;
};

inline std::vector<Event>& events() {
  static std::vector<Event> e;
  return e;
}
inline std::function<int32_t(const Event&)>& answer() {
  static std::function<int32_t(const Event&)> a;
  return a;
}
inline constexpr uintptr_t kUserValue = 77;
inline constexpr uintptr_t kContext = 55;

inline int32_t recordEvent(int32_t code, NxEventRecord* r, uintptr_t user, uintptr_t context) {
  EXPECT_EQ(user, kUserValue);
  EXPECT_EQ(context, kContext);
  EXPECT_EQ(r->size, sizeof(NxEventRecord));
  EXPECT_EQ(r->last, 0);
  Event e{code, r->displayPath ? u8(r->displayPath) : "", r->type, r->length,
          r->threat ? u8(r->threat->name) : ""};
  EXPECT_EQ(r->threat != nullptr, code == NX_ENGINE_THREAT) << code;
  events().push_back(e);
  return answer() ? answer()(e) : NX_ACTION_CONTINUE;
}

inline std::vector<int32_t> eventCodes() {
  std::vector<int32_t> out;
  for (const Event& e : events()) out.push_back(e.code);
  return out;
}

// The session layer's part: the wrapper and the threat list from the
// modules the engine loaded, and one file scanned the way it scans.
class WalkTest : public EngineTest {
 public:
  void SetUp() override {
    EngineTest::SetUp();
    events().clear();
    answer() = nullptr;
    ce::MSGQUEUEOPTIONS o{sizeof o, ce::MSGQUEUE_ALLOW_BROKEN, 2000, 541, ce::TRUE};
    queue = ce::CreateMsgQueue(u"OlnMsgQueue", &o);
    ASSERT_NE(queue, nullptr);
    installAll();
    ASSERT_NE(load(), nullptr);
    auto createFw = reinterpret_cast<PFN_CreateFileWrapObject>(
        ce::GetProcAddressW(ce::GetModuleHandleW(u"filekit.dll"), u"CreateFileWrapObject"));
    ASSERT_EQ(createFw(&fw), 1);
    auto createList = reinterpret_cast<PFN_CreateThreatListObject>(
        ce::GetProcAddressW(ce::GetModuleHandleW(u"threatlist.dll"), u"CreateThreatListObject"));
    deleteList = reinterpret_cast<PFN_DeleteThreatListObject>(
        ce::GetProcAddressW(ce::GetModuleHandleW(u"threatlist.dll"), u"DeleteThreatListObject"));
    ASSERT_EQ(createList(&threats), 1);
    settings = defaultSettings();
    settings.eventHandler = recordEvent;
    settings.context = kContext;
    create = fn<NxCreateNXScanFn>(u"CreateNXScan");
    del = fn<NxDeleteNXScanFn>(u"DeleteNXScan");
  }
  void TearDown() override {
    if (threats) deleteList(threats);
    ce::CloseMsgQueue(queue);
    EngineTest::TearDown();
  }

  // Scans a device file as the session layer does: its list, each object
  // opened with its own list code as root type, scanned at depth 0 until
  // one reports a threat. The first scanner's result that ends the run.
  int32_t scan(const std::u16string& path) {
    ScannerObject** objects = nullptr;
    int32_t* codes = nullptr;
    int32_t count = 0, type = 0;
    uint32_t length = 0;
    const int32_t h = fw->ops->OpenW(fw, path.c_str(), NX_O_RDONLY | NX_O_BINARY, 0);
    EXPECT_GE(h, 0);
    int32_t made = create(h, path.c_str(), &settings, 0, &objects, &codes, &count, &type, &length);
    if (made != NX_ENGINE_SUCCESS) {
      fw->ops->Close(fw, h);
      return made;
    }
    int32_t result = NX_ENGINE_CLEAN;
    for (int32_t i = 0; i < count && !settings.stop; ++i) {
      ScannerObject* o = objects[i];
      if (o->ops->Open(o, h, path.c_str(), &settings, path.c_str(), codes[i], kUserValue) != NX_ENGINE_SUCCESS)
        continue;
      std::u16string display = path;  // exactly the caller's text, no room to spare
      int32_t r = o->ops->Scan(o, display.data(), threats, 0);
      EXPECT_EQ(display, path) << "the caller's display path is left as it was";
      o->ops->Close(o);
      if (r != NX_ENGINE_CLEAN) {
        result = r;
        if (r == NX_ENGINE_THREAT || r == NX_ENGINE_THREAT_MEMBER) break;
      }
    }
    EXPECT_EQ(del(objects, codes, count), NX_ENGINE_SUCCESS);
    fw->ops->Close(fw, h);
    return result;
  }

  // Ignore-list messages sent since the last call.
  std::vector<std::string> ignoreMessages() {
    std::vector<std::string> out;
    for (;;) {
      char16_t buf[300] = {};
      ce::DWORD got = 0, flags = 0;
      if (!ce::ReadMsgQueue(queue, buf, sizeof buf, &got, 0, &flags)) break;
      out.push_back(u8(std::u16string(buf, got / 2 - 1)));
    }
    return out;
  }

  // What is left in the temporary folder.
  std::vector<std::string> leftInTemp() {
    std::vector<std::string> out;
    for (auto& e : std::filesystem::directory_iterator(dev.host("Temp/x"))) out.push_back(e.path().filename());
    return out;
  }

  int32_t threatCount() { return threats->ops->Count(threats); }
  ThreatRecord* lastThreat() {
    ThreatRecord* r = nullptr;
    threats->ops->Last(threats, &r);
    return r;
  }

  ce::HANDLE queue = nullptr;
  FileWrapObject* fw = nullptr;
  ThreatListObject* threats = nullptr;
  PFN_DeleteThreatListObject deleteList = nullptr;
  ScanSettings settings{};
  NxCreateNXScanFn create = nullptr;
  NxDeleteNXScanFn del = nullptr;
};

}  // namespace scantest
