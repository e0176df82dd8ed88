// kore-sim's commands for the robot in the monitoring record: showing, animating, reading and
// writing fields.
#include <sys/ipc.h>
#include <sys/msg.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "KoreExtension.h"
#include "Payload.h"
#include "Robot.h"

namespace kore {
namespace {

using namespace VeloFramework;
using std::chrono::milliseconds;

void PrintMonitor(KoreContext& ctx) {
  const MonitoringData& r = *ctx.Monitoring();
  char buf[1024];
  snprintf(buf, sizeof buf,
           "robot: joints [%.1f %.1f %.1f %.1f %.1f %.1f] deg, tool [%.1f %.1f %.1f mm, "
           "%.1f %.1f %.1f deg], DI 0x%04x, DO 0x%04x, tool DI 0x%02x, tool DO 0x%02x, "
           "status 0x%08x, output_command_ %u",
           r.actual_joint_pose_[0], r.actual_joint_pose_[1], r.actual_joint_pose_[2],
           r.actual_joint_pose_[3], r.actual_joint_pose_[4], r.actual_joint_pose_[5],
           r.actual_task_space_pose_[0], r.actual_task_space_pose_[1], r.actual_task_space_pose_[2],
           r.actual_task_space_pose_[3], r.actual_task_space_pose_[4], r.actual_task_space_pose_[5],
           r.control_box_digital_input_, r.control_box_digital_output_, r.tool_digital_input_,
           r.tool_digital_output_, r.system_status_.system_status_memory_, r.output_command_);
  auto arr = [](const float* v) {
    std::string s = "[";
    for (int i = 0; i < 6; ++i) {
      char b[32];
      snprintf(b, sizeof b, "%s%.4f", i ? "," : "", static_cast<double>(v[i]));
      s += b;
    }
    return s + "]";
  };
  ctx.Log("monitor", buf,
          JsonObject()
              .AddRaw("joints", arr(r.actual_joint_pose_))
              .AddRaw("task_pose", arr(r.actual_task_space_pose_))
              .Add("digital_input", static_cast<uint64_t>(r.control_box_digital_input_))
              .Add("digital_output", static_cast<uint64_t>(r.control_box_digital_output_))
              .Add("tool_input", static_cast<uint64_t>(r.tool_digital_input_))
              .Add("tool_output", static_cast<uint64_t>(r.tool_digital_output_))
              .Add("status", static_cast<uint64_t>(r.system_status_.system_status_memory_))
              .Add("output_command", static_cast<uint64_t>(r.output_command_)));
}

class RobotCommands : public KoreExtension {
 public:
  std::string Name() const override { return "robot"; }
  std::vector<Command> Commands() override {
    std::vector<Command> c;
    c.push_back({"monitor", "monitor", "show the robot state in the monitoring record",
                 [](const Args&, KoreContext& ctx) {
                   PrintMonitor(ctx);
                   return true;
                 }});
    c.push_back({"animate", "animate on|off", "move the robot or keep it still",
                 [](const Args& a, KoreContext& ctx) {
                   if (a.size() != 1 || (a[0] != "on" && a[0] != "off")) {
                     ctx.Error("usage: animate on|off");
                     return false;
                   }
                   ctx.RobotModel().SetAnimating(a[0] == "on");
                   ctx.Log("animate", std::string("robot animation ") + a[0],
                           JsonObject().Add("on", a[0] == "on"));
                   return true;
                 }});
    c.push_back({"set", "set FIELD VALUE",
                 "write a field of the monitoring record, e.g. set actual_joint_pose_[0] -12.34 "
                 "(animated fields need `animate off`)",
                 [](const Args& a, KoreContext& ctx) {
                   std::string error;
                   if (a.size() != 2) {
                     ctx.Error("usage: set FIELD VALUE; fields:\n" + Robot::FieldNames());
                     return false;
                   }
                   if (!ctx.RobotModel().SetField(a[0], a[1], &error)) {
                     ctx.Error(error);
                     return false;
                   }
                   ctx.Log("set", a[0] + " = " + a[1],
                           JsonObject().Add("field", a[0]).Add("value", a[1]));
                   return true;
                 }});
    c.push_back({"get", "get FIELD", "print a field of the monitoring record",
                 [](const Args& a, KoreContext& ctx) {
                   std::string error, value;
                   if (a.size() != 1 || !ctx.RobotModel().GetField(a[0], &value, &error)) {
                     ctx.Error(a.size() != 1 ? "usage: get FIELD" : error);
                     return false;
                   }
                   ctx.Log("value", a[0] + " = " + value,
                           JsonObject().Add("field", a[0]).Add("value", value));
                   return true;
                 }});
    return c;
  }
};

}  // namespace

std::unique_ptr<KoreExtension> MakeRobotCommands() {
  return std::unique_ptr<KoreExtension>(new RobotCommands());
}

}  // namespace kore
