// kore-sim's command loop: a script run line by line, or commands read from standard input.
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "KoreSim.h"
#include "ScriptParser.h"

using namespace VeloFramework;
using std::chrono::milliseconds;

namespace kore {

bool KoreSim::Execute(const std::string& line) {
  return ExecuteWords(ParseScriptLine(line));
}

bool KoreSim::ExecuteWords(const Args& words) {
  if (words.empty()) return true;
  auto it = m_commands.find(words[0]);
  if (it == m_commands.end()) {
    Error("unknown command \"" + words[0] + "\" (try help)");
    return false;
  }
  Args args(words.begin() + 1, words.end());
  return it->second.handler(args, *this);
}

int KoreSim::Run() {
  m_families = CreateCommandFamilies();
  m_extensions = ExtensionRegistry::CreateAll();
  RegisterCommands();
  m_interactive = m_opt.scriptPath.empty();

  std::vector<ScriptLine> script;
  if (!m_interactive) {
    std::ifstream in(m_opt.scriptPath, std::ios::binary);
    if (!in) {
      Error("cannot read script " + m_opt.scriptPath);
      return 2;
    }
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    script = ParseScript(text.data(), text.size());
  }
  // Standard input stays blocking (it may be the user's terminal, shared with
  // the shell): it is read only when poll says it is readable.

  if (!Setup()) {
    Shutdown();
    return 2;
  }
  for (auto& ext : m_extensions) ext->OnStart(*this);
  if (!m_opt.modulePath.empty() && !StartModule(m_opt.modulePath)) {
    Shutdown();
    return 2;
  }

  int result = 0;
  if (!m_interactive) {
    for (size_t i = 0; i < script.size() && !m_quit && g_stopSignal == 0; ++i) {
      if (!ExecuteWords(script[i].words)) {
        Error("script " + m_opt.scriptPath + " line " + std::to_string(script[i].number) +
              " failed: " + script[i].text);
        result = 1;
        break;
      }
      // Events that arrived during the command are logged before the next.
      Pump(Clock::now(), nullptr);
    }
  } else {
    if (isatty(0)) {
      Log("hint", "type commands (help lists them); quit or Ctrl-D ends", JsonObject());
    }
    while (!m_quit && g_stopSignal == 0) {
      if (!m_stdinLines.empty()) {
        std::string line = m_stdinLines.front();
        m_stdinLines.pop_front();
        Execute(line);
        continue;
      }
      if (m_stdinEof) break;
      Pump(Clock::now() + milliseconds(100), [this] { return !m_stdinLines.empty(); });
    }
  }
  if (g_stopSignal != 0) {
    Log("signal", std::string("stopping on ") + strsignal(g_stopSignal),
        JsonObject().Add("signal", static_cast<int>(g_stopSignal)));
  }
  // Events that are already on their way are still logged.
  ReceiveEvents();
  m_module.Drain([this](const char* s, const std::string& l) { ForwardModuleLine(s, l); });
  Shutdown();
  return result;
}

}  // namespace kore
