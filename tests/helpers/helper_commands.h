// Commands of the test helper process. A file defines one with
//   HELPER_COMMAND(name) { ...; return exitCode; }
// where argc/argv are the arguments after the command name. A command that
// must be synchronised with the test prints a line (with fflush) and reads
// stdin for the go-ahead.
#pragma once

namespace helper {

using CommandFn = int (*)(int argc, char** argv);

struct Registry {
  const char* name;
  CommandFn fn;
  const Registry* next;
  Registry(const char* n, CommandFn f) : name(n), fn(f), next(head()) { headRef() = this; }
  static const Registry*& headRef() {
    static const Registry* h = nullptr;
    return h;
  }
  static const Registry* head() { return headRef(); }
};

}  // namespace helper

#define HELPER_COMMAND(name)                                            \
  static int helper_cmd_##name(int argc, char** argv);                  \
  static const helper::Registry helper_reg_##name(#name, &helper_cmd_##name); \
  static int helper_cmd_##name([[maybe_unused]] int argc, [[maybe_unused]] char** argv)
