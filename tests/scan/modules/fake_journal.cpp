#include "fake_journal.h"

#include <map>
#include <mutex>

namespace fakes {
namespace {
std::mutex g_lock;
std::vector<std::string> g_lines;
std::map<std::string, int> g_switches;
int g_live = 0;
}  // namespace

void record(const std::string& line) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_lines.push_back(line);
}
std::vector<std::string> lines() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_lines;
}
void clear() {
  std::lock_guard<std::mutex> guard(g_lock);
  g_lines.clear();
  g_switches.clear();
  g_live = 0;
}
void set(const std::string& key, int value) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_switches[key] = value;
}
int get(const std::string& key) {
  std::lock_guard<std::mutex> guard(g_lock);
  auto it = g_switches.find(key);
  return it == g_switches.end() ? 0 : it->second;
}
void adjustLive(int delta) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_live += delta;
}
int live() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_live;
}

}  // namespace fakes
