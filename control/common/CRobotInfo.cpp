// The host's static robot data. A host program defines these once; plug-ins
// only refer to them.
#include "RobotControlContext.h"

CRobotMonitoring CRobotInfo::Monitoring = {0.0, 50.0, {0.0, 0.0, 0.0, 0.0, 0.0, 0.0}};
bool CRobotInfo::fts = false;
double CRobotInfo::motorinertia[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
double CRobotInfo::gearratio[6] = {1.0, 1.0, 1.0, 1.0, 1.0, 1.0};
