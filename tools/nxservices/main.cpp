// nxservices: the device's service host. One long-running process per device
// loads the service libraries callers register (RegisterService), runs their
// Init and Deinit on its own thread, and answers the callers through the
// device's message queues. `nxdevice boot` starts it, `nxdevice shutdown`
// stops it.
#include <CLI/CLI.hpp>

#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <thread>

#include "ce/ce.h"
#include "ce/service_host.h"
#include "host_log.h"
#include "service_table.h"

namespace nxservices {

void logLine(const char* fmt, ...) {
  ce::SYSTEMTIME t;
  ce::GetLocalTime(&t);
  char text[1024];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  std::printf("%04u-%02u-%02u %02u:%02u:%02u nxservices[%d]: %s\n", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
              t.wSecond, static_cast<int>(::getpid()), text);
  std::fflush(stdout);
}

}  // namespace nxservices

namespace {

std::atomic<bool> g_stop{false};

void onSignal(int) { g_stop.store(true); }

void handler(const ce::servicehost::Request& rq, ce::servicehost::Reply& rp, void* ctx) {
  static_cast<nxservices::ServiceTable*>(ctx)->handle(rq, rp);
}

// A device whose folder was removed under the host (a test that ended) has
// nobody left to stop its host: it ends itself.
void watchDevice(std::string kernelFile) {
  struct stat first{};
  if (::stat(kernelFile.c_str(), &first) != 0) return;
  for (;;) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    struct stat now{};
    if (::stat(kernelFile.c_str(), &now) != 0) {
      nxservices::logLine("the device is gone; ending");
      ::_exit(0);
    }
  }
}

// Requests are awaited in slices of about a quarter of a host second, so a
// signal to stop is seen whatever the device clock's speed.
ce::DWORD sliceMs() {
  double ms = 250.0 * ce::GetClockSpeed();
  if (ms < 1) return 1;
  if (ms > 1e9) return 1000000000u;
  return static_cast<ce::DWORD>(ms);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"nxservices: the device's service host (started by 'nxdevice boot')"};
  std::string root = ce::DefaultDeviceRoot();
  app.add_option("--device-root", root, "device root folder (default: $NX_DEVICE_ROOT or the user's data folder)");
  CLI11_PARSE(app, argc, argv);

  // The handset's service host, as process listings show it.
  ce::SetProgramPath(u"\\Windows\\services.exe");
  if (!ce::AttachDevice(root)) {
    std::fprintf(stderr, "nxservices: no device at %s (run 'nxdevice init' first)\n", root.c_str());
    return 1;
  }
  struct timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  nxservices::ServiceTable table(static_cast<uint32_t>(ts.tv_nsec ^ (ts.tv_sec << 8) ^ ::getpid()));
  ce::servicehost::Server server;
  if (!server.start(&handler, &table)) {
    if (ce::GetLastError() == ce::ERROR_ALREADY_EXISTS) {
      std::fprintf(stderr, "nxservices: a service host is running on %s already\n", root.c_str());
      return 3;
    }
    std::fprintf(stderr, "nxservices: cannot take requests (error %u)\n", ce::GetLastError());
    return 1;
  }
  table.publish();
  struct sigaction sa{};
  sa.sa_handler = &onSignal;
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  std::thread(watchDevice, ce::DeviceRoot() + "/.ce/kernel").detach();
  nxservices::logLine("serving %s", ce::DeviceRoot().c_str());

  ce::servicehost::Request rq;
  while (!g_stop.load() && !table.shutdownRequested()) {
    if (!server.next(rq, sliceMs())) continue;
    ce::servicehost::Reply rp;
    table.handle(rq, rp);
    server.answer(rq, rp);
  }
  if (!table.shutdownRequested()) table.deregisterAll();
  server.stop();
  ce::servicehost::ClearState();
  nxservices::logLine("stopped");
  return 0;
}
