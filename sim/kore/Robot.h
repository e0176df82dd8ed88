// The robot as kore-sim plays it: animates the state fields of the
// monitoring record, and acts on the output requests modules write into it.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "MonitoringData.h"

namespace kore {

class Robot {
 public:
  // One change the robot made after an output request: a readable text
  // ("control-box output 3 -> ON") and its parts for the JSON log.
  struct Change {
    std::string text;
    std::string output;  // "control-box", "tool", "analog-output", "analog-input", "gpr"
    int index;
    std::string value;
  };

  explicit Robot(VeloFramework::MonitoringData* record);

  // Writes a plausible resting state into the record (keeps nothing).
  void Reset();
  // Moves the robot on to time `t` seconds: joints on smooth paths, the
  // tool pose from the arm's kinematics, inputs and sensor values changing.
  void Animate(double t);
  bool Animating() const { return m_animate; }
  void SetAnimating(bool on) { m_animate = on; }

  // When a module has raised output_command_, takes the requested outputs
  // as the robot's, clears output_command_ and returns what changed (an
  // empty list with *requested = true when the request changed nothing).
  std::vector<Change> ApplyOutputRequests(bool* requested);

  // Reads / writes a field by its record name, e.g. "actual_joint_pose_[0]",
  // "control_box_digital_input_", "system_status_.servo_on_". False with
  // `error` set when the name or the value is not understood.
  bool SetField(const std::string& field, const std::string& value, std::string* error);
  bool GetField(const std::string& field, std::string* value, std::string* error) const;
  // Names accepted by SetField / GetField, for help texts.
  static std::string FieldNames();

 private:
  VeloFramework::MonitoringData* m_record;
  VeloFramework::MonitoringData m_applied;  // outputs as the robot last applied them
  bool m_animate = true;
  double m_lastT = -1;
  float m_lastPose[6] = {};
};

}  // namespace kore
