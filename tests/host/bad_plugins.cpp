// Libraries that are not proper control plug-ins, for the loader's tests.
#include <stdexcept>

#include "ControlModule.h"

#if defined(BAD_PLUGIN_THROWS)
extern "C" __attribute__((visibility("default"))) ControlModule* create(long) {
  throw std::runtime_error("no robot here");
}
#elif defined(BAD_PLUGIN_NULL)
extern "C" __attribute__((visibility("default"))) ControlModule* create(long) {
  return nullptr;
}
#else
// No `create` at all.
extern "C" __attribute__((visibility("default"))) int not_create() {
  return 1;
}
#endif
