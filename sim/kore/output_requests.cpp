// The output requests modules write into the monitoring record, applied to the robot as the
// controller would and logged.
#include <string>

#include "KoreSim.h"

using namespace VeloFramework;
using std::chrono::milliseconds;

namespace kore {

void KoreSim::ApplyOutputRequests() {
  if (m_record == nullptr) return;
  bool requested = false;
  auto changes = m_robot->ApplyOutputRequests(&requested);
  if (requested && changes.empty()) {
    Log("output", "robot: output request (nothing changed), output_command_ cleared",
        JsonObject().Add("changed", false));
  }
  for (const auto& c : changes) {
    Log("output", "robot: " + c.text,
        JsonObject()
            .Add("changed", true)
            .Add("output", c.output)
            .Add("index", c.index)
            .Add("value", c.value));
  }
}

}  // namespace kore
