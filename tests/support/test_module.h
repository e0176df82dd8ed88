// A concrete ControlModule for tests: the shared steps with the protected
// state opened up.
#pragma once

#include "ControlModule.h"

class TestModule : public ControlModule {
 public:
  explicit TestModule(RobotControlContext* context, long id = 7) : ControlModule(id, context) {}
  int Start(void*) override { return 0; }
  int Stop(void*) override { return 0; }
  int DoControl() override { return 0; }
  int UpdateControlGain(void*) override { return 0; }
  int Pause(void*) override { return 0; }
  int Resume(void*) override { return 0; }
  int CheckControlState() override { return 0; }
  int CustomControlLaw(_ControlOutput&) override { return 0; }

  using ControlModule::m_forceOffset;
  using ControlModule::m_gainElapsed;
  using ControlModule::m_gainTime;
  using ControlModule::m_output;
};
