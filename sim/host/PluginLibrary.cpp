#include "PluginLibrary.h"

#include <dlfcn.h>

#include <exception>

namespace hostsim {

std::unique_ptr<PluginLibrary> PluginLibrary::Open(const std::string& path, std::string* error) {
  dlerror();
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* e = dlerror();
    if (error) *error = e ? e : ("cannot open " + path);
    return nullptr;
  }
  dlerror();
  void* symbol = dlsym(handle, "create");
  const char* e = dlerror();
  if (e != nullptr || symbol == nullptr) {
    if (error)
      *error = std::string(path) + ": no `create` export" + (e ? std::string(": ") + e : "");
    dlclose(handle);
    return nullptr;
  }
  std::unique_ptr<PluginLibrary> library(new PluginLibrary());
  library->m_handle = handle;
  library->m_create = reinterpret_cast<CreateFunction>(symbol);
  library->m_path = path;
  return library;
}

PluginLibrary::~PluginLibrary() {
  if (m_handle != nullptr) dlclose(m_handle);
}

ControlModule* PluginLibrary::Create(long id, std::string* error) {
  try {
    ControlModule* module = m_create(id);
    if (module == nullptr && error) *error = m_path + ": create returned no module";
    return module;
  } catch (const std::exception& ex) {
    if (error) *error = m_path + ": create failed: " + ex.what();
  } catch (...) {
    if (error) *error = m_path + ": create failed";
  }
  return nullptr;
}

}  // namespace hostsim
