// Loads a control plug-in library with dlopen and creates its module
// through the exported `create`.
#pragma once

#include <memory>
#include <string>

#include "ControlModule.h"

namespace hostsim {

class PluginLibrary {
 public:
  using CreateFunction = ControlModule* (*)(long id);

  // Opens the library (RTLD_NOW | RTLD_LOCAL) and finds `create`. On failure
  // returns null and describes the reason in *error (dlerror's text).
  static std::unique_ptr<PluginLibrary> Open(const std::string& path, std::string* error);
  ~PluginLibrary();
  PluginLibrary(const PluginLibrary&) = delete;
  PluginLibrary& operator=(const PluginLibrary&) = delete;

  // A new module from the library's `create`; the caller deletes it (before
  // the library is closed). Null, with *error set, when `create` throws or
  // returns null.
  ControlModule* Create(long id, std::string* error);
  const std::string& Path() const { return m_path; }

 private:
  PluginLibrary() = default;
  void* m_handle = nullptr;
  CreateFunction m_create = nullptr;
  std::string m_path;
};

}  // namespace hostsim
