// Shell change notifications when the host's inotify runs short: a queue
// that overflowed while the watching process could not read it, and folders
// beyond the watch limit. Neither may pass silently or let a change escape.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "ce/ce.h"
#include "shell_records.h"
#include "testkit.h"

using namespace shelltest;

namespace {

long procValue(const char* path) {
  std::ifstream in(path);
  long v = -1;
  in >> v;
  return v;
}

void touch(const std::string& path, const char* text = "x") {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(::write(fd, text, std::strlen(text)), static_cast<ssize_t>(std::strlen(text)));
  ::close(fd);
}

// Waits until the process is stopped (a signal takes effect only when it
// next runs).
bool stopped(pid_t pid) {
  for (int i = 0; i < 1000; ++i) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto paren = all.rfind(')');
    if (paren != std::string::npos && paren + 2 < all.size() && all[paren + 2] == 'T') return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

// Waits until a thread of the process sits in poll() over two descriptors
// (x86-64 system call numbers): the watcher, back at the top of its loop,
// which it reaches only after reading its queue empty. False when that is
// never seen (or the host does not show what its threads are doing).
bool watcherIdle(pid_t pid) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  for (int i = 0; i < 2000; ++i) {
    std::error_code ec;
    for (const auto& t : std::filesystem::directory_iterator(tasks, ec)) {
      std::ifstream in(t.path() / "syscall");
      std::string nr, fds, nfds;
      if (in >> nr >> fds >> nfds && (nr == "7" || nr == "271") && nfds == "0x2") return true;  // poll, ppoll
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

// Reads the watcher's lines until every wanted one was printed; the lines
// seen go to `all`.
bool readUntil(nxtest::HelperProcess& p, std::set<std::string> wanted, std::vector<std::string>& all,
               int timeoutMs = 30000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!wanted.empty() && std::chrono::steady_clock::now() < end) {
    std::string line = p.readLine(1000);
    if (line.empty()) continue;
    if (line.back() == '\n') line.pop_back();
    wanted.erase(line);
    all.push_back(line);
  }
  for (const auto& w : wanted) ADD_FAILURE() << "never posted: " << w;
  return wanted.empty();
}

TEST(ShellOverflow, AnOverflowIsLoggedAndTheFilesChangedSinceArePostedAsUpdates) {
  const long queue = procValue("/proc/sys/fs/inotify/max_queued_events");
  if (queue <= 0 || queue > (1 << 18))
    GTEST_SKIP() << "fs.inotify.max_queued_events is " << queue << ": too large to overflow quickly";
  nxtest::TempDevice dev(100.0);
  const std::string dir = dev.host("Temp/o");
  std::filesystem::create_directory(dir);
  touch(dir + "/old.txt");
  touch(dir + "/a.txt");
  touch(dir + "/b.txt");

  nxtest::HelperProcess watcher({"shell_watch", "7fffffff", "1"});
  ASSERT_EQ(watcher.readLine().rfind("ready ", 0), 0u);
  // The watcher last found its queue empty after this; what changed more
  // than a moment before that is not posted again.
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  touch(dir + "/tick.txt");
  std::vector<std::string> lines;
  ASSERT_TRUE(readUntil(watcher, {"event 2000\t\\Temp\\o\\tick.txt\t"}, lines));
  // Posted is not yet idle: the watcher may still be about to read its
  // queue empty, and what it reads after the stop would then count from the
  // earlier idle moment.
  ASSERT_TRUE(watcherIdle(watcher.pid())) << "the watcher's thread was never seen waiting in poll()";

  // The watching process cannot read while it is stopped: the kernel's
  // queue fills and overflows. Two files in turn defeat its merging of
  // repeated events.
  ASSERT_EQ(::kill(watcher.pid(), SIGSTOP), 0);
  ASSERT_TRUE(stopped(watcher.pid()));
  for (long i = 0; i < queue; ++i) {
    for (const char* name : {"/a.txt", "/b.txt"}) {
      int fd = ::open((dir + name).c_str(), O_WRONLY | O_CLOEXEC);
      ASSERT_GE(fd, 0);
      ::close(fd);
    }
  }
  touch(dir + "/during.txt");
  std::filesystem::create_directory(dir + "/late");
  touch(dir + "/late/inner.txt");
  ASSERT_EQ(::kill(watcher.pid(), SIGCONT), 0);

  lines.clear();
  EXPECT_TRUE(readUntil(watcher,
                        {"event 2000\t\\Temp\\o\\a.txt\t", "event 2000\t\\Temp\\o\\b.txt\t",
                         "event 2000\t\\Temp\\o\\during.txt\t", "event 2000\t\\Temp\\o\\late\\inner.txt\t"},
                        lines));
  const std::string log = dev.readFile(".ce/device.log");
  EXPECT_NE(log.find("overflowed the host's queue"), std::string::npos) << log;
  for (const auto& l : lines) EXPECT_EQ(l.find("old.txt"), std::string::npos) << l;

  // Recovered: the folder made while the queue was lost is watched too.
  touch(dir + "/late/after.txt");
  EXPECT_TRUE(readUntil(watcher, {"event 2\t\\Temp\\o\\late\\after.txt\t"}, lines));
  watcher.writeLine("quit");
  EXPECT_EQ(watcher.wait(), 0);
}

class ShellWatchLimit : public ::testing::Test {
 protected:
  void SetUp() override {
    Records::get().clear();
    Records::get().install();
  }
  void TearDown() override {
    ce::SHChangeNotifyDeregister(w_);
    Records::get().uninstall();
  }
  nxtest::TempDevice dev_{100.0};
  const ce::HWND w_ = window(0x200);
};

TEST_F(ShellWatchLimit, FoldersBeyondTheLimitArePolledUntilAWatchIsFree) {
  std::filesystem::create_directory(dev_.host("Temp/spare"));
  // Room for every folder there is and one more.
  size_t folders = 1;
  for (auto& e : std::filesystem::recursive_directory_iterator(dev_.root())) {
    if (e.path().filename() == ".ce") continue;
    if (e.is_directory() && e.path().string().find("/.ce") == std::string::npos) ++folders;
  }
  {
    std::ofstream conf(dev_.host(".ce/device.conf"), std::ios::app);
    conf << "shell_watch_limit=" << folders + 1 << "\n";
  }
  ASSERT_TRUE(registerWindow(w_, ce::SHCNE_ALLEVENTS, nullptr, true));
  auto& rec = Records::get();

  host("mkdir " + quoted(dev_.host("Temp/P")));
  ASSERT_TRUE(rec.waitFor(w_, ce::SHCNE_MKDIR, "\\Temp\\P"));
  host("mkdir " + quoted(dev_.host("Temp/P/Q")));  // no watch left for it
  ASSERT_TRUE(rec.waitFor(w_, ce::SHCNE_MKDIR, "\\Temp\\P\\Q"));
  EXPECT_NE(dev_.readFile(".ce/device.log").find("no change watch for \\Temp\\P\\Q"), std::string::npos);

  struct Step {
    const char* what;
    std::string command;
    ce::LONG code;
    const char* item;
  } steps[] = {
      {"a file made", "printf 1 > " + quoted(dev_.host("Temp/P/Q/f.txt")), ce::SHCNE_CREATE, "\\Temp\\P\\Q\\f.txt"},
      {"a file written", "printf 22 >> " + quoted(dev_.host("Temp/P/Q/f.txt")), ce::SHCNE_UPDATEITEM,
       "\\Temp\\P\\Q\\f.txt"},
      {"a folder below", "mkdir " + quoted(dev_.host("Temp/P/Q/R")), ce::SHCNE_MKDIR, "\\Temp\\P\\Q\\R"},
      {"a file in it", "printf 3 > " + quoted(dev_.host("Temp/P/Q/R/g.txt")), ce::SHCNE_CREATE,
       "\\Temp\\P\\Q\\R\\g.txt"},
      {"a file deleted", "rm " + quoted(dev_.host("Temp/P/Q/f.txt")), ce::SHCNE_DELETE, "\\Temp\\P\\Q\\f.txt"},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.what);
    host(s.command);
    EXPECT_TRUE(rec.waitFor(w_, s.code, s.item)) << rec.dump();
  }

  // A watch freed: the polled folder is watched again, and what is made in
  // it then is told as it happens (a create and then the write).
  host("rmdir " + quoted(dev_.host("Temp/spare")));
  for (int i = 0; i < 500 && dev_.readFile(".ce/device.log").find("\\Temp\\P\\Q is watched for changes again") ==
                                 std::string::npos;
       ++i)
    ::usleep(10000);
  EXPECT_NE(dev_.readFile(".ce/device.log").find("\\Temp\\P\\Q is watched for changes again"), std::string::npos)
      << dev_.readFile(".ce/device.log");
  host("printf 4 > " + quoted(dev_.host("Temp/P/Q/h.txt")));
  EXPECT_TRUE(rec.waitFor(w_, ce::SHCNE_CREATE, "\\Temp\\P\\Q\\h.txt"));
  EXPECT_TRUE(rec.waitFor(w_, ce::SHCNE_UPDATEITEM, "\\Temp\\P\\Q\\h.txt")) << rec.dump();
}

}  // namespace
