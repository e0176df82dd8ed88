// kore-sim's log: readable lines, or JSON lines for tests; the module's own output forwarded line
// by line.
#include <cstdio>
#include <cstring>
#include <string>

#include "KoreSim.h"

using namespace VeloFramework;
using std::chrono::milliseconds;

namespace kore {

std::string Hex(const char* data, size_t length) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(length * 2);
  for (size_t i = 0; i < length; ++i) {
    out += digits[(static_cast<unsigned char>(data[i]) >> 4) & 0xf];
    out += digits[static_cast<unsigned char>(data[i]) & 0xf];
  }
  return out;
}

void KoreSim::Log(const std::string& type, const std::string& text, const JsonObject& json) {
  std::string line;
  if (m_opt.json) {
    JsonObject o;
    o.Add("type", type);
    char t[32];
    snprintf(t, sizeof t, "%.3f", Now());
    o.AddRaw("time", t);
    o.Merge(json);
    line = o.Str();
  } else {
    line = "[kore-sim] " + text;
  }
  line += '\n';
  fwrite(line.data(), 1, line.size(), stdout);
  fflush(stdout);
}

void KoreSim::Error(const std::string& text) {
  Log("error", "ERROR: " + text, JsonObject().Add("message", text));
}

void KoreSim::ForwardModuleLine(const char* stream, const std::string& line) {
  if (m_opt.json) {
    Log("module-output", "", JsonObject().Add("stream", stream).Add("line", line));
    return;
  }
  std::string out =
      "[" + m_moduleName + (std::strcmp(stream, "stderr") == 0 ? "!" : "") + "] " + line + "\n";
  fwrite(out.data(), 1, out.size(), stdout);
  fflush(stdout);
}

}  // namespace kore
