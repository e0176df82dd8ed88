// control-host-sim: runs a control plug-in against a simulated six-axis arm
// through a scenario, writes a CSV log and plots, and prints a summary.
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ProjectVersion.h"
#include "Scenario.h"

extern char** environ;

namespace {

const char* kUsage =
    "Usage: control-host-sim --scenario FILE [--plugin LIB.so|NAME] [options]\n"
    "\n"
    "Loads a control plug-in (dlopen + create), hands it a host context backed\n"
    "by a simulated six-axis arm and runs the scenario in 1 ms cycles: commands\n"
    "(start, stiffness, force, release, factors, pause, resume, stop) and\n"
    "external wrenches (steps, ramps, a spring wall). Writes <out>/<name>.csv,\n"
    "<out>/<name>.events.csv (every command and its result, for the plot's\n"
    "markers), <out>/<name>.metrics.json and <out>/<name>.png and prints what\n"
    "happened with the run's metrics. A refused command (-> -1) is followed by\n"
    "its reason. The scenario format, the log's columns and the metrics are in\n"
    "control.md: /usr/share/doc/robot-controller-addons-sim/control.md when\n"
    "installed, docs/control.md in the source tree.\n"
    "\n"
    "Options:\n"
    "  --scenario FILE      the scenario (format: control.md)\n"
    "  --plugin PATH|NAME   the plug-in library, or a short name such as\n"
    "                       admittance or impedance for lib<NAME>-control.so\n"
    "                       beside this program (../lib/ in a build tree,\n"
    "                       /usr/lib/robot-controller-addons/ installed);\n"
    "                       default: the scenario's 'plugin' line\n"
    "  --plant kdl|mujoco   the simulated arm: kdl (exact model, the default)\n"
    "                       or mujoco (physics engine: position loop, real\n"
    "                       contact, wrist sensor, model mismatch); overrides\n"
    "                       the scenario's 'plant' line\n"
    "  --out DIR            folder for the log and the plot, created with its\n"
    "                       parents when missing (default: .)\n"
    "  --name NAME          base name of the outputs (default: the scenario\n"
    "                       file name without its extension)\n"
    "  --no-plots           write the CSV log only\n"
    "  --realtime           pace the cycles at 1 ms of wall time (default: as\n"
    "                       fast as possible)\n"
    "  --log-every N        one CSV row every N cycles (default 1)\n"
    "  --plot-script PATH   the plotting script (default: the installed\n"
    "                       plot_log.py, else the source tree's)\n"
    "  --quiet              print the summary only\n"
    "  -h, --help           this text\n"
    "  --version            print the version\n"
    "\n"
    "Exit status: 0 when the scenario ran; 1 when the plug-in or the scenario\n"
    "could not be loaded, the arm's state or a set-point became non-finite, or\n"
    "the plot failed; 2 on a usage error.\n";

int Usage(const char* why) {
  std::fprintf(stderr,
               "control-host-sim: %s\n"
               "Try 'control-host-sim --help' for more information.\n",
               why);
  return 2;
}

std::string ProgramDir() {
  char exe[4096];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
  if (n <= 0) return ".";
  exe[n] = '\0';
  std::string dir(exe);
  dir.resize(dir.find_last_of('/'));
  return dir;
}

// A plug-in given by a short name (admittance, impedance, test-spring: no
// '/' and no ".so") is lib<name>-control.so in the build tree's lib/ beside
// bin/, or in the installed plug-in folder; anything else is a path. Empty
// with *error when a short name matches no library.
std::string ResolvePlugin(const std::string& plugin, std::string* error) {
  const bool path = plugin.find('/') != std::string::npos ||
                    (plugin.size() > 3 && plugin.compare(plugin.size() - 3, 3, ".so") == 0);
  if (path) return plugin;
  const std::string dir = ProgramDir();
  const std::string file = "lib" + plugin + "-control.so";
  const std::string candidates[] = {dir + "/../lib/" + file,
                                    dir + "/../lib/robot-controller-addons/" + file};
  for (const std::string& c : candidates) {
    if (access(c.c_str(), R_OK) != 0) continue;
    char* real = realpath(c.c_str(), nullptr);
    const std::string found = real != nullptr ? real : c;
    std::free(real);
    return found;
  }
  *error = "no plug-in named '" + plugin + "': neither " + candidates[0] + " nor " + candidates[1] +
           " exists";
  return "";
}

// mkdir -p: every missing folder of `path`, with its parents.
bool MakeFolders(const std::string& path, std::string* error) {
  for (size_t end = 1; end <= path.size(); ++end) {
    if (end < path.size() && path[end] != '/') continue;
    const std::string part = path.substr(0, end);
    if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) {
      *error = "cannot create " + part + ": " + std::strerror(errno);
      return false;
    }
  }
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *error = path + " is not a folder";
    return false;
  }
  return true;
}

std::string BaseName(const std::string& path) {
  std::string name =
      path.substr(path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/') + 1);
  const size_t dot = name.find_last_of('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return name;
}

// The plotting script: the one installed beside the program
// (<prefix>/share/robot-controller-addons/plot_log.py for <prefix>/bin), else
// the one of the source tree the program was built from.
std::string DefaultPlotScript() {
  const std::string installed = ProgramDir() + "/../share/robot-controller-addons/plot_log.py";
  if (access(installed.c_str(), R_OK) == 0) return installed;
  return HOST_SIM_PLOT_SCRIPT;
}

bool Plot(const std::string& script, const std::string& csv, const std::string& png,
          const std::string& title) {
  const char* argv[] = {"/usr/bin/python3", script.c_str(), csv.c_str(),
                        png.c_str(),        title.c_str(),  nullptr};
  pid_t pid;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
    std::perror("control-host-sim: cannot start /usr/bin/python3");
    return false;
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string scenarioPath, pluginPath, outDir = ".", name, plotScript = DefaultPlotScript();
  bool plots = true, quiet = false, plantGiven = false;
  hostsim::PlantKind plant = hostsim::PlantKind::kKdl;
  hostsim::RunOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    std::string v;
    if (a == "-h" || a == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "--version") {
      PrintProjectVersion("control-host-sim");
      return 0;
    } else if (a == "--scenario") {
      if (!value(scenarioPath)) return Usage("--scenario needs a file");
    } else if (a == "--plugin") {
      if (!value(pluginPath)) return Usage("--plugin needs a path");
    } else if (a == "--plant") {
      if (!value(v) || !hostsim::ParsePlantKind(v, &plant))
        return Usage("--plant takes kdl or mujoco");
      plantGiven = true;
    } else if (a == "--out") {
      if (!value(outDir)) return Usage("--out needs a folder");
    } else if (a == "--name") {
      if (!value(name)) return Usage("--name needs a name");
    } else if (a == "--plot-script") {
      if (!value(plotScript)) return Usage("--plot-script needs a path");
    } else if (a == "--log-every") {
      if (!value(v)) return Usage("--log-every needs a number");
      char* end = nullptr;
      const long n = std::strtol(v.c_str(), &end, 10);
      if (*end != '\0' || n < 1 || n > 1000000) return Usage("--log-every takes 1 to 1000000");
      options.logEvery = static_cast<int>(n);
    } else if (a == "--no-plots") {
      plots = false;
    } else if (a == "--realtime") {
      options.realtime = true;
    } else if (a == "--quiet") {
      quiet = true;
    } else {
      return Usage(("unknown argument '" + a + "'").c_str());
    }
  }
  if (scenarioPath.empty()) return Usage("no scenario given");

  hostsim::Scenario scenario;
  std::string error;
  if (!hostsim::Scenario::Load(scenarioPath, &scenario, &error)) {
    std::fprintf(stderr, "control-host-sim: %s\n", error.c_str());
    return 1;
  }
  if (pluginPath.empty()) pluginPath = scenario.plugin;
  if (pluginPath.empty()) return Usage("no plug-in given (--plugin or a 'plugin' line)");
  pluginPath = ResolvePlugin(pluginPath, &error);
  if (pluginPath.empty()) {
    std::fprintf(stderr, "control-host-sim: %s\n", error.c_str());
    return 1;
  }
  if (name.empty()) name = BaseName(scenarioPath);

  if (plantGiven) scenario.host.plant = plant;
  hostsim::Simulation sim(scenario.host);
  if (sim.Host().GetPlant() == nullptr) {
    std::fprintf(stderr, "control-host-sim: cannot build the %s plant: %s\n",
                 hostsim::PlantName(scenario.host.plant), sim.Host().PlantError().c_str());
    return 1;
  }
  if (!sim.LoadPlugin(pluginPath, &error)) {
    std::fprintf(stderr, "control-host-sim: cannot load the plug-in: %s\n", error.c_str());
    return 1;
  }
  // The impedance plug-in holds with stiffer gains of its own while paused
  // (docs/impedance.md); the log and the plot show what it applies.
  if (BaseName(pluginPath).rfind("libimpedance-control", 0) == 0) {
    Eigen::Vector6d pause;
    pause << 3000, 3000, 3000, 600, 600, 600;
    sim.MirrorPauseStiffness(pause);
  }
  if (!MakeFolders(outDir, &error)) {
    std::fprintf(stderr, "control-host-sim: %s\n", error.c_str());
    return 1;
  }
  const std::string csvPath = outDir + "/" + name + ".csv";
  const std::string pngPath = outDir + "/" + name + ".png";
  FILE* csv = std::fopen(csvPath.c_str(), "w");
  if (csv == nullptr) {
    std::fprintf(stderr, "control-host-sim: cannot write %s: %s\n", csvPath.c_str(),
                 std::strerror(errno));
    return 1;
  }
  options.csv = csv;
  const std::string eventsPath = outDir + "/" + name + ".events.csv";
  FILE* events = std::fopen(eventsPath.c_str(), "w");
  if (events == nullptr) {
    std::fprintf(stderr, "control-host-sim: cannot write %s: %s\n", eventsPath.c_str(),
                 std::strerror(errno));
    std::fclose(csv);
    return 1;
  }
  options.events = events;
  options.story = quiet ? nullptr : stdout;
  if (!quiet) {
    std::printf("control-host-sim: %s with %s on the %s plant\n", scenarioPath.c_str(),
                pluginPath.c_str(), hostsim::PlantName(scenario.host.plant));
    // Where `origin tcp` places walls, contacts and holes from.
    const Eigen::Vector3d tcp = hostsim::Scenario::StartTcpPosition(scenario.host);
    std::printf("  TCP starts at %.9g %.9g %.9g m (base frame)\n", tcp.x(), tcp.y(), tcp.z());
  }
  const hostsim::RunSummary s = hostsim::RunScenario(scenario, sim, options);
  bool written = std::fclose(csv) == 0;
  written = std::fclose(events) == 0 && written;
  const std::string metricsPath = outDir + "/" + name + ".metrics.json";
  FILE* json = std::fopen(metricsPath.c_str(), "w");
  if (json == nullptr) {
    std::fprintf(stderr, "control-host-sim: cannot write %s: %s\n", metricsPath.c_str(),
                 std::strerror(errno));
    written = false;
  } else {
    hostsim::WriteMetricsJson(json, s.metrics, name, hostsim::PlantName(scenario.host.plant));
    written = std::fclose(json) == 0 && written;
  }

  const Eigen::Vector6d& d = s.finalDisplacement;
  const double deg = 180.0 / 3.141592653589793;
  std::printf("summary: %ld cycles, %.3f s simulated in %.3f s (%.1fx real time), %s plant\n",
              s.cycles, s.simulatedSeconds, s.wallSeconds,
              s.wallSeconds > 0 ? s.simulatedSeconds / s.wallSeconds : 0.0,
              hostsim::PlantName(scenario.host.plant));
  std::printf("  final TCP displacement: %+.2f %+.2f %+.2f mm, %+.2f %+.2f %+.2f deg\n", d[0] * 1e3,
              d[1] * 1e3, d[2] * 1e3, d[3] * deg, d[4] * deg, d[5] * deg);
  std::printf("  largest TCP displacement %.2f mm, largest applied force %.1f N\n",
              s.maxDisplacement * 1e3, s.maxForce);
  std::printf(
      "  module errors: %zu; refused set-points: %ld; speed-limited cycles: %ld; "
      "torque-limited cycles: %ld\n",
      sim.Host().Errors().size(), sim.Host().NonFiniteSetpoints(), sim.Host().SpeedLimitHits(),
      sim.Host().TorqueLimitHits());
  hostsim::PrintMetrics(stdout, s.metrics);
  int status = 0;
  if (!s.finiteThroughout) {
    std::printf("  FAILED: the state or a set-point became non-finite\n");
    status = 1;
  }
  if (!written) {
    std::fprintf(stderr, "control-host-sim: writing %s or %s failed\n", csvPath.c_str(),
                 metricsPath.c_str());
    status = 1;
  }
  std::printf("  log: %s\n  metrics file: %s\n", csvPath.c_str(), metricsPath.c_str());
  if (plots) {
    if (Plot(plotScript, csvPath, pngPath, name)) {
      std::printf("  plot: %s\n", pngPath.c_str());
    } else {
      std::fprintf(stderr, "control-host-sim: plotting %s failed\n", pngPath.c_str());
      status = 1;
    }
  }
  return status;
}
