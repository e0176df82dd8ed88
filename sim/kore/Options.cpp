// kore-sim's command-line options.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "KoreSim.h"

namespace kore {

const char* const kUsage =
    "Usage: kore-sim [OPTIONS]\n"
    "\n"
    "Stand-in for KORE and the Module Manager. Works in the current directory:\n"
    "creates the control queue (key file controlMessageQueue.txt), the monitoring\n"
    "record \"/mm-shared-mem\" with \"/mm-sem-spool\", and the response record\n"
    "\"/mm-shared-mem_response\" with \"/mm-sem-spool_response\"; starts a module\n"
    "program with its own pid as the argument, logs every event it receives,\n"
    "animates the robot and applies the output requests modules write. On quit,\n"
    "end of input, SIGINT or SIGTERM it ends the module and removes what it made.\n"
    "Run it in a private namespace (scripts/isolated) to keep clear of a real\n"
    "controller's objects.\n"
    "\n"
    "Options:\n"
    "  --module PATH      module program to start (with kore-sim's pid as argument)\n"
    "  --module-arg TEXT  pass TEXT instead of the pid (to try bad arguments)\n"
    "  --script FILE      run the commands in FILE, then quit; a failed command\n"
    "                     (e.g. a wait-event that times out) ends kore-sim with\n"
    "                     exit status 1\n"
    "  --json             log JSON lines instead of readable lines (for tests)\n"
    "  --tick MS          robot and queue period in milliseconds (default 10)\n"
    "  --no-animate       keep the robot still (fields change only by `set`)\n"
    "  --help             this text\n"
    "  --version          print the version\n"
    "\n"
    "Without --script, commands are read from standard input, one per line.\n";

OptionsResult ParseOptions(int argc, char* argv[], Options* opt) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    bool missing = false;
    auto value = [&](const char* name) -> std::string {
      if (i + 1 >= argc) {
        fprintf(stderr, "kore-sim: %s needs a value (see --help)\n", name);
        missing = true;
        return std::string();
      }
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      return OptionsResult::kHelp;
    } else if (a == "--version") {
      return OptionsResult::kVersion;
    } else if (a == "--module") {
      opt->modulePath = value("--module");
    } else if (a == "--module-arg") {
      opt->moduleArg = value("--module-arg");
      opt->moduleArgGiven = true;
    } else if (a == "--script") {
      opt->scriptPath = value("--script");
    } else if (a == "--json") {
      opt->json = true;
    } else if (a == "--no-animate") {
      opt->animate = false;
    } else if (a == "--tick") {
      std::string v = value("--tick");
      if (missing) return OptionsResult::kError;
      char* end = nullptr;
      long ms = std::strtol(v.c_str(), &end, 10);
      if (*end != '\0' || ms < 1 || ms > 1000) {
        fprintf(stderr, "kore-sim: --tick takes 1..1000 milliseconds\n");
        return OptionsResult::kError;
      }
      opt->tickMs = static_cast<int>(ms);
    } else {
      fprintf(stderr, "kore-sim: unknown option %s (see --help)\n", a.c_str());
      return OptionsResult::kError;
    }
    if (missing) return OptionsResult::kError;
  }
  return OptionsResult::kRun;
}

}  // namespace kore
