#include "KoreExtension.h"

#include <cmath>
#include <cstdio>

namespace kore {

namespace {
std::vector<ExtensionRegistry::Factory>& Factories() {
  static std::vector<ExtensionRegistry::Factory> factories;
  return factories;
}
}  // namespace

void ExtensionRegistry::Add(Factory factory) {
  Factories().push_back(std::move(factory));
}

std::vector<std::unique_ptr<KoreExtension>> ExtensionRegistry::CreateAll() {
  std::vector<std::unique_ptr<KoreExtension>> all;
  for (auto& factory : Factories()) all.push_back(factory());
  return all;
}

std::unique_ptr<KoreExtension> MakeEventCommands();
std::unique_ptr<KoreExtension> MakeModuleCommands();
std::unique_ptr<KoreExtension> MakeRobotCommands();

std::vector<std::unique_ptr<KoreExtension>> CreateCommandFamilies() {
  std::vector<std::unique_ptr<KoreExtension>> families;
  families.push_back(MakeEventCommands());
  families.push_back(MakeModuleCommands());
  families.push_back(MakeRobotCommands());
  return families;
}

std::string JsonObject::Quote(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c >= 0x7f) {
          // Bytes outside printable ASCII are escaped one by one so that any
          // module output gives valid JSON.
          char buf[8];
          snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

JsonObject& JsonObject::Add(const std::string& key, const std::string& value) {
  return AddRaw(key, Quote(value));
}
JsonObject& JsonObject::Add(const std::string& key, const char* value) {
  return AddRaw(key, Quote(value != nullptr ? value : ""));
}
JsonObject& JsonObject::Add(const std::string& key, int64_t value) {
  return AddRaw(key, std::to_string(value));
}
JsonObject& JsonObject::Add(const std::string& key, uint64_t value) {
  return AddRaw(key, std::to_string(value));
}
JsonObject& JsonObject::Add(const std::string& key, double value) {
  if (!std::isfinite(value)) return AddRaw(key, "null");
  char buf[40];
  snprintf(buf, sizeof buf, "%.10g", value);
  return AddRaw(key, buf);
}
JsonObject& JsonObject::Add(const std::string& key, bool value) {
  return AddRaw(key, value ? "true" : "false");
}
JsonObject& JsonObject::AddRaw(const std::string& key, const std::string& json) {
  m_members.push_back(Quote(key) + ":" + json);
  return *this;
}
JsonObject& JsonObject::Merge(const JsonObject& other) {
  m_members.insert(m_members.end(), other.m_members.begin(), other.m_members.end());
  return *this;
}
std::string JsonObject::Str() const {
  std::string out = "{";
  for (size_t i = 0; i < m_members.size(); ++i) {
    if (i) out += ",";
    out += m_members[i];
  }
  return out + "}";
}

}  // namespace kore
