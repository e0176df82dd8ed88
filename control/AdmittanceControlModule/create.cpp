// The plug-in's one export: `create` builds an AdmittanceControlModule with
// the host's module id and no context.
#include "AdmittanceControlModule.h"

CONTROL_MODULE_CREATE(AdmittanceControlModule)
