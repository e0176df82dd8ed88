// The control-host-sim scenario parser: any text either parses or is
// refused with "<name>:<line>: <reason>". A parsed scenario holds only
// finite times and durations, events in time order.
#include "Scenario.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65536) return 0;
  const std::string text(reinterpret_cast<const char*>(data), size);
  hostsim::Scenario scenario;
  std::string error;
  if (!hostsim::Scenario::Parse(text, "fuzz", &scenario, &error)) {
    if (error.rfind("fuzz:", 0) != 0) {
      std::fprintf(stderr, "fuzz: refusal without its place: '%s'\n", error.c_str());
      std::abort();
    }
    return 0;
  }
  bool sound = std::isfinite(scenario.duration) && scenario.duration > 0.0;
  double previous = 0.0;
  for (const hostsim::ScenarioEvent& e : scenario.events) {
    sound = sound && std::isfinite(e.time) && e.time >= previous && e.a.allFinite() &&
            e.b.allFinite() && std::isfinite(e.value) && std::isfinite(e.damping);
    previous = e.time;
  }
  if (!sound) {
    std::fprintf(stderr, "fuzz: a parsed scenario holds a number that is not sound\n");
    std::abort();
  }
  return 0;
}
