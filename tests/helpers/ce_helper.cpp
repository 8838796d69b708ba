// A second process for cross-process tests. It attaches to NX_DEVICE_ROOT and
// runs the command named by argv[1]; each area of the layer registers its
// commands in its own file of this folder (see helper_commands.h).
#include <cstdio>
#include <cstring>

#include "helper_commands.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: ce_helper COMMAND [ARGS...]\n");
    return 2;
  }
  for (const auto* c = helper::Registry::head(); c; c = c->next) {
    if (std::strcmp(c->name, argv[1]) == 0) return c->fn(argc - 2, argv + 2);
  }
  std::fprintf(stderr, "ce_helper: unknown command %s\n", argv[1]);
  return 2;
}
