// The network area of the CE layer against real servers on loopback: the
// test HTTP(S) server (tests/servers/http_server.py) and tinyproxy.
#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ce/ce.h"
#include "net_servers.h"
#include "testkit.h"

namespace {

using namespace ce;
namespace fs = std::filesystem;

std::string blob(size_t n, unsigned seed = 1) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (auto& c : s) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

struct Note {
  ULONG progress, max, code;
};

// A callback that records every notification and answers as told.
class Recorder : public IBindStatusCallback {
 public:
  std::vector<Note> notes;
  std::function<HRESULT(const Note&, int index)> answer;
  std::string user, password;
  int authAsked = 0;

  HRESULT OnProgress(ULONG progress, ULONG max, ULONG code, LPCWSTR) override {
    notes.push_back({progress, max, code});
    return answer ? answer(notes.back(), static_cast<int>(notes.size()) - 1) : S_OK;
  }
  HRESULT Authenticate(HANDLE*, LPWSTR* u, LPWSTR* p) override {
    ++authAsked;
    if (user.empty()) return E_ACCESSDENIED_FOR_TEST;
    *u = dup(utf8ToUtf16(user));
    *p = dup(utf8ToUtf16(password));
    return S_OK;
  }
  bool saw(ULONG code) const {
    for (auto& n : notes)
      if (n.code == code) return true;
    return false;
  }

 private:
  static constexpr HRESULT E_ACCESSDENIED_FOR_TEST = static_cast<HRESULT>(0x80070005u);
  static LPWSTR dup(const std::u16string& s) {
    auto* p = static_cast<LPWSTR>(CoTaskMemAlloc((s.size() + 1) * sizeof(WCHAR)));
    std::copy(s.c_str(), s.c_str() + s.size() + 1, p);
    return p;
  }
};

// The per-connection proxy options of this process.
BOOL setProxy(DWORD flags, const char16_t* server, const char16_t* bypass) {
  std::u16string s = server ? server : u"", b = bypass ? bypass : u"";
  INTERNET_PER_CONN_OPTIONW o[3]{};
  o[0].dwOption = INTERNET_PER_CONN_FLAGS;
  o[0].Value.dwValue = flags;
  o[1].dwOption = INTERNET_PER_CONN_PROXY_SERVER;
  o[1].Value.pszValue = s.data();
  o[2].dwOption = INTERNET_PER_CONN_PROXY_BYPASS;
  o[2].Value.pszValue = b.data();
  INTERNET_PER_CONN_OPTION_LISTW list{};
  list.dwSize = sizeof list;
  list.dwOptionCount = 3;
  list.pOptions = o;
  return InternetSetOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, sizeof list);
}

void resetProxy() { setProxy(PROXY_TYPE_DIRECT, nullptr, nullptr); }

class Downloads : public ::testing::Test {
 protected:
  nxtest::TempDevice dev;
  nxtest::TempDir site;
  std::string payload = blob(300000);
  std::unique_ptr<nxtest::HttpServer> server;

  void SetUp() override {
    fs::create_directories(site.path() + "/www");
    std::ofstream(site.path() + "/www/pkg.bin", std::ios::binary) << payload;
    std::ofstream(site.path() + "/www/small.txt") << "small\n";
    server = std::make_unique<nxtest::HttpServer>(site.path() + "/www", site.path());
    ASSERT_TRUE(server->running()) << "the test HTTP server did not start";
    dev.writeFile("Temp/old.bin", "previous contents");
  }
  void TearDown() override { resetProxy(); }

  HRESULT get(const std::string& url, IBindStatusCallback* cb = nullptr, const char16_t* to = u"\\Temp\\old.bin") {
    return URLDownloadToFileW(nullptr, utf8ToUtf16(url).c_str(), to, 0, cb);
  }
  // The folder holds old.bin (and what a test put there) and no half download.
  void expectNoLeftovers() {
    for (auto& e : fs::directory_iterator(dev.host("Temp")))
      EXPECT_EQ(e.path().filename().string().rfind("~dl", 0), std::string::npos) << e.path();
  }
};

TEST_F(Downloads, BodyArrivesWholeWithProgressUpToItsLength) {
  Recorder r;
  ASSERT_EQ(get(server->url("pkg.bin"), &r), S_OK);
  EXPECT_EQ(dev.readFile("Temp/old.bin"), payload);
  ASSERT_FALSE(r.notes.empty());
  EXPECT_EQ(r.notes.front().code, BINDSTATUS_FINDINGRESOURCE);
  EXPECT_TRUE(r.saw(BINDSTATUS_BEGINDOWNLOADDATA));
  EXPECT_TRUE(r.saw(BINDSTATUS_DOWNLOADINGDATA));
  const Note& last = r.notes.back();
  EXPECT_EQ(last.code, BINDSTATUS_ENDDOWNLOADDATA);
  EXPECT_EQ(last.progress, payload.size());
  ULONG previous = 0;
  for (auto& n : r.notes) {
    EXPECT_GE(n.progress, previous) << "progress never goes back";
    previous = n.progress;
    if (n.code == BINDSTATUS_DOWNLOADINGDATA) {
      EXPECT_EQ(n.max, payload.size());
    }
  }
  expectNoLeftovers();

  // A new file in a folder that exists; a folder that does not is a failure.
  EXPECT_EQ(get(server->url("small.txt"), nullptr, u"\\Temp\\new.txt"), S_OK);
  EXPECT_EQ(dev.readFile("Temp/new.txt"), "small\n");
  EXPECT_EQ(get(server->url("small.txt"), nullptr, u"\\Temp\\missing\\new.txt"), INET_E_DOWNLOAD_FAILURE);
  EXPECT_EQ(URLDownloadToFileW(nullptr, nullptr, u"\\Temp\\x", 0, nullptr), E_INVALIDARG);
  EXPECT_EQ(URLDownloadToFileW(nullptr, u"http://127.0.0.1/", nullptr, 0, nullptr), E_INVALIDARG);
}

TEST_F(Downloads, CallerAbortsFromAnyNotificationAndTheOldFileStays) {
  for (ULONG code : {BINDSTATUS_FINDINGRESOURCE, BINDSTATUS_CONNECTING, BINDSTATUS_BEGINDOWNLOADDATA,
                     BINDSTATUS_DOWNLOADINGDATA, BINDSTATUS_ENDDOWNLOADDATA}) {
    SCOPED_TRACE(code);
    Recorder r;
    r.answer = [code](const Note& n, int) { return n.code == code ? E_ABORT : S_OK; };
    EXPECT_EQ(get(server->url("slow=2000000/pkg.bin"), &r), E_ABORT);
    EXPECT_EQ(dev.readFile("Temp/old.bin"), "previous contents");
    expectNoLeftovers();
  }
}

// Every refusal of the server, the network or the rules: a stated code, the
// old file untouched, no half file left behind.
TEST_F(Downloads, FailuresGiveTheirCodesAndLeaveTheFileAlone) {
  SetDownloadLimits({1 << 20, 1500, 20000});
  const std::string closed = "http://127.0.0.1:" + std::to_string(nxtest::closedPort()) + "/pkg.bin";
  struct Case {
    const char* name;
    std::string url;
    HRESULT want;
  } cases[] = {
      {"missing file", server->url("nothing.bin"), INET_E_RESOURCE_NOT_FOUND},
      {"server error", server->url("status=500/pkg.bin"), INET_E_DOWNLOAD_FAILURE},
      {"forbidden", server->url("status=403/pkg.bin"), INET_E_DOWNLOAD_FAILURE},
      {"body cut short", server->url("cut=1000/pkg.bin"), INET_E_DOWNLOAD_FAILURE},
      {"endless body", server->url("endless/pkg.bin"), INET_E_DOWNLOAD_FAILURE},
      {"stalled body", server->url("stall/pkg.bin"), INET_E_CONNECTION_TIMEOUT},
      {"redirect to ftp", server->url("redirect=ftp/pkg.bin"), INET_E_REDIRECT_FAILED},
      {"redirect to file", server->url("redirect=file/pkg.bin"), INET_E_REDIRECT_FAILED},
      {"endless redirects", server->url("redirect=loop/pkg.bin"), INET_E_REDIRECT_FAILED},
      {"connection refused", closed, INET_E_CANNOT_CONNECT},
      {"server asks who we are", server->url("auth=u:p/pkg.bin"), INET_E_AUTHENTICATION_REQUIRED},
      {"not http", "ftp://127.0.0.1/pkg.bin", INET_E_UNKNOWN_PROTOCOL},
      {"a local file", "file:///etc/passwd", INET_E_UNKNOWN_PROTOCOL},
      {"no host", "http:///pkg.bin", INET_E_INVALID_URL},
      {"not a URL", "pkg.bin", INET_E_INVALID_URL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(get(c.url), c.want);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30)) << "bounded";
    EXPECT_EQ(dev.readFile("Temp/old.bin"), "previous contents");
    expectNoLeftovers();
  }
  // A redirect on the same scheme is followed.
  EXPECT_EQ(get(server->url("redirect=self/small.txt")), S_OK);
  EXPECT_EQ(dev.readFile("Temp/old.bin"), "small\n");
}

TEST_F(Downloads, SlowBodyEndsAtTheTotalTimeButTimeInTheCallbackDoesNotCount) {
  SetDownloadLimits({0, 60000, 1000});
  EXPECT_EQ(get(server->url("slow=20000/pkg.bin")), INET_E_CONNECTION_TIMEOUT);
  EXPECT_EQ(dev.readFile("Temp/old.bin"), "previous contents");

  // A caller that holds the download for longer than the whole allowance
  // (a paused update) does not make it time out.
  SetDownloadLimits({0, 500, 1000});
  Recorder r;
  r.answer = [](const Note& n, int) {
    static bool held = false;
    if (n.code == BINDSTATUS_DOWNLOADINGDATA && !held) {
      held = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    }
    return S_OK;
  };
  EXPECT_EQ(get(server->url("pkg.bin"), &r), S_OK);
  EXPECT_EQ(dev.readFile("Temp/old.bin"), payload);
}

TEST_F(Downloads, CallerIsAskedAgainWhileTheServerSendsNothing) {
  // The server holds the rest of the body until the caller, asked again
  // and again with the same count, opens the gate.
  Recorder r;
  int idle = 0;
  r.answer = [&](const Note& n, int) {
    if (n.code == BINDSTATUS_DOWNLOADINGDATA && n.progress < payload.size() && n.progress > 0 && ++idle == 3)
      server->openGate("go");
    return S_OK;
  };
  ASSERT_EQ(get(server->url("gate=go/pkg.bin"), &r), S_OK);
  EXPECT_GE(idle, 3);
  EXPECT_EQ(dev.readFile("Temp/old.bin"), payload);
}

TEST_F(Downloads, ServerCredentialsComeFromTheCallerOnce) {
  Recorder r;
  r.user = "u";
  r.password = "p";
  EXPECT_EQ(get(server->url("auth=u:p/small.txt"), &r), S_OK);
  EXPECT_EQ(r.authAsked, 1);
  EXPECT_EQ(dev.readFile("Temp/old.bin"), "small\n");
  Recorder wrong;
  wrong.user = "u";
  wrong.password = "guess";
  EXPECT_EQ(get(server->url("auth=u:p/pkg.bin"), &wrong), INET_E_AUTHENTICATION_REQUIRED);
  EXPECT_EQ(wrong.authAsked, 1);
  EXPECT_EQ(dev.readFile("Temp/old.bin"), "small\n");
}

TEST_F(Downloads, DestinationInUseIsNotReplaced) {
  HANDLE held = CreateFileW(u"\\Temp\\old.bin", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_EQ(get(server->url("small.txt")), INET_E_DOWNLOAD_FAILURE);
  CloseHandle(held);
  EXPECT_EQ(dev.readFile("Temp/old.bin"), "previous contents");
  expectNoLeftovers();
}

TEST_F(Downloads, OfflineDeviceHasNoConnectionAndNoDownload) {
  GUID net{};
  DWORD index = 7;
  ASSERT_EQ(ConnMgrMapURL(u"http://example.invalid/", &net, &index), S_OK);
  EXPECT_EQ(std::memcmp(&net, &IID_DestNetInternet, sizeof net), 0);
  EXPECT_EQ(index, 0u);

  CONNMGR_CONNECTIONINFO info{};
  info.cbSize = sizeof info;
  info.dwParams = CONNMGR_PARAM_GUIDDESTNET;
  info.dwFlags = CONNMGR_FLAG_PROXY_HTTP;
  info.dwPriority = CONNMGR_PRIORITY_USERINTERACTIVE;
  info.guidDestNet = net;
  HANDLE conn = nullptr;
  DWORD status = 0;
  ASSERT_EQ(ConnMgrEstablishConnectionSync(&info, &conn, 60000, &status), S_OK);
  EXPECT_EQ(status, CONNMGR_STATUS_CONNECTED);
  EXPECT_EQ(ConnMgrReleaseConnection(conn, 0), S_OK);
  EXPECT_EQ(ConnMgrReleaseConnection(conn, 0), E_HANDLE);
  info.cbSize = 64 - 1;
  EXPECT_EQ(ConnMgrEstablishConnectionSync(&info, &conn, 60000, &status), E_INVALIDARG);
  info.cbSize = sizeof info;

  ASSERT_TRUE(SetDeviceOnline(FALSE));
  EXPECT_FALSE(GetDeviceOnline());
  EXPECT_EQ(ConnMgrEstablishConnectionSync(&info, &conn, 60000, &status), E_FAIL);
  EXPECT_EQ(status, CONNMGR_STATUS_NOPATHTODESTINATION);
  EXPECT_EQ(conn, nullptr);
  const size_t before = server->requests().size();
  EXPECT_EQ(get(server->url("small.txt")), INET_E_CANNOT_CONNECT);
  EXPECT_EQ(server->requests().size(), before) << "nothing reached the network";
  ASSERT_TRUE(SetDeviceOnline(TRUE));
  EXPECT_EQ(get(server->url("small.txt")), S_OK);
}

TEST_F(Downloads, NoCacheIsKept) {
  EXPECT_FALSE(DeleteUrlCacheEntryW(u"http://127.0.0.1/index.bin"));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(DeleteUrlCacheEntryW(nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  // Two downloads of a changed file see the change.
  ASSERT_EQ(get(server->url("small.txt")), S_OK);
  std::ofstream(site.path() + "/www/small.txt") << "changed\n";
  ASSERT_EQ(get(server->url("small.txt")), S_OK);
  EXPECT_EQ(dev.readFile("Temp/old.bin"), "changed\n");
}

// ---- Proxy settings ----------------------------------------------------------------

TEST_F(Downloads, ProxyOptionsAreKeptAndReadBackAllOrNothing) {
  ASSERT_TRUE(setProxy(PROXY_TYPE_DIRECT | PROXY_TYPE_PROXY, u"proxy:8080", u"local"));
  INTERNET_PER_CONN_OPTIONW o[3]{};
  o[0].dwOption = INTERNET_PER_CONN_FLAGS;
  o[1].dwOption = INTERNET_PER_CONN_PROXY_SERVER;
  o[2].dwOption = INTERNET_PER_CONN_PROXY_BYPASS;
  INTERNET_PER_CONN_OPTION_LISTW list{};
  list.dwSize = sizeof list;
  list.dwOptionCount = 3;
  list.pOptions = o;
  DWORD len = sizeof list;
  ASSERT_TRUE(InternetQueryOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, &len));
  EXPECT_EQ(o[0].Value.dwValue, 3u);
  EXPECT_EQ(std::u16string(o[1].Value.pszValue), u"proxy:8080");
  EXPECT_EQ(std::u16string(o[2].Value.pszValue), u"local");
  GlobalFree(o[1].Value.pszValue);
  GlobalFree(o[2].Value.pszValue);

  // One unknown option: nothing of the list is applied.
  INTERNET_PER_CONN_OPTIONW bad[2]{};
  bad[0].dwOption = INTERNET_PER_CONN_FLAGS;
  bad[0].Value.dwValue = PROXY_TYPE_DIRECT;
  bad[1].dwOption = 99;
  list.dwOptionCount = 2;
  list.pOptions = bad;
  EXPECT_FALSE(InternetSetOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, sizeof list));
  EXPECT_EQ(list.dwOptionError, 1u);
  list.dwOptionCount = 1;
  list.pOptions = o;
  ASSERT_TRUE(InternetQueryOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, &len));
  EXPECT_EQ(o[0].Value.dwValue, 3u);

  EXPECT_TRUE(InternetSetOptionW(nullptr, INTERNET_OPTION_SETTINGS_CHANGED, nullptr, 0));
  EXPECT_TRUE(InternetSetOptionW(nullptr, INTERNET_OPTION_REFRESH, nullptr, 0));
  EXPECT_FALSE(InternetSetOptionW(nullptr, 12345, nullptr, 0));
  EXPECT_EQ(GetLastError(), ERROR_INTERNET_INVALID_OPTION);
  EXPECT_FALSE(InternetSetOptionW(reinterpret_cast<HINTERNET>(1), INTERNET_OPTION_REFRESH, nullptr, 0));
}

TEST_F(Downloads, BypassListDecidesWhichHostsGoDirect) {
  // A proxy that refuses every connection: going through it fails, going
  // direct reaches the server.
  const std::u16string dead = u"127.0.0.1:" + utf8ToUtf16(std::to_string(nxtest::closedPort()));
  struct Case {
    const char16_t* bypass;
    bool direct;
  } cases[] = {
      {u"", false},          {u"local", false},          {u"<local>", false},  // 127.0.0.1 has dots
      {u"127.0.0.1", true},  {u"localhost; 127.0.0.*", true}, {u"*.example.com", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(utf16ToUtf8(c.bypass));
    ASSERT_TRUE(setProxy(PROXY_TYPE_DIRECT | PROXY_TYPE_PROXY, dead.c_str(), c.bypass));
    EXPECT_EQ(get(server->url("small.txt")), c.direct ? S_OK : INET_E_CANNOT_CONNECT);
  }
  // Flags without the proxy bit: direct whatever the server says.
  ASSERT_TRUE(setProxy(PROXY_TYPE_DIRECT, dead.c_str(), u""));
  EXPECT_EQ(get(server->url("small.txt")), S_OK);
}

TEST_F(Downloads, ProxyWithBasicAuthenticationGetsTheCallersCredentials) {
  if (!nxtest::Proxy::available()) GTEST_SKIP() << "tinyproxy is not installed (scripts/bootstrap installs it)";
  nxtest::Proxy proxy("alice", "s3cret");
  ASSERT_TRUE(proxy.running());
  const std::u16string at = u"127.0.0.1:" + utf8ToUtf16(std::to_string(proxy.port()));
  ASSERT_TRUE(setProxy(PROXY_TYPE_DIRECT | PROXY_TYPE_PROXY, at.c_str(), u"local"));

  Recorder none;
  EXPECT_EQ(get(server->url("small.txt"), &none), INET_E_AUTHENTICATION_REQUIRED);
  EXPECT_EQ(none.authAsked, 1);
  Recorder wrong;
  wrong.user = "alice";
  wrong.password = "guess";
  EXPECT_EQ(get(server->url("small.txt"), &wrong), INET_E_AUTHENTICATION_REQUIRED);
  EXPECT_EQ(dev.readFile("Temp/old.bin"), "previous contents");

  Recorder right;
  right.user = "alice";
  right.password = "s3cret";
  ASSERT_EQ(get(server->url("pkg.bin"), &right), S_OK);
  EXPECT_EQ(right.authAsked, 1);
  EXPECT_EQ(dev.readFile("Temp/old.bin"), payload);
  EXPECT_NE(proxy.log().find("/pkg.bin"), std::string::npos) << "the download went through the proxy";
}

// ---- HTTPS ------------------------------------------------------------------------------

TEST_F(Downloads, HttpsTrustsOnlyKnownCertificatesAndNeverFallsBackToHttp) {
  nxtest::TempDir certs;
  if (!nxtest::makeTestCertificate(certs.path())) GTEST_SKIP() << "the openssl tool cannot make a test certificate";
  nxtest::HttpServer tls(site.path() + "/www", site.path(), {certs.path() + "/cert.pem", certs.path() + "/key.pem"});
  ASSERT_TRUE(tls.running());
  // The host's store does not know a self-signed certificate.
  EXPECT_EQ(get(tls.url("small.txt")), INET_E_SECURITY_PROBLEM);
  EXPECT_EQ(dev.readFile("Temp/old.bin"), "previous contents");
  ASSERT_TRUE(SetTrustedCertificates(certs.path() + "/cert.pem"));
  EXPECT_EQ(GetTrustedCertificates(), certs.path() + "/cert.pem");
  EXPECT_EQ(get(tls.url("small.txt")), S_OK);
  EXPECT_EQ(dev.readFile("Temp/old.bin"), "small\n");
  EXPECT_EQ(get(tls.url("redirect=http/pkg.bin")), INET_E_REDIRECT_FAILED);
  EXPECT_EQ(dev.readFile("Temp/old.bin"), "small\n");
  SetTrustedCertificates("");
}

}  // namespace
