// kore-sim's command table: the session commands (help, wait, sleep, say, quit), the command
// families and the extensions' commands, and the help listing.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "KoreSim.h"
#include "Payload.h"

using namespace VeloFramework;
using std::chrono::milliseconds;

namespace kore {

void KoreSim::RegisterCommands() {
  auto add = [this](Command c) {
    if (m_commands.count(c.name) == 0) m_commandOrder.push_back(c.name);
    m_commands[c.name] = std::move(c);
  };
  add({"help", "help", "list the commands", [this](const Args&, KoreContext&) {
         PrintHelp();
         return true;
       }});
  add({"wait", "wait DURATION", "keep running for DURATION (e.g. 200ms, 2s)",
       [this](const Args& a, KoreContext&) {
         milliseconds d;
         if (a.size() != 1 || !ParseDuration(a[0], &d)) {
           Error("usage: wait DURATION (e.g. 200ms, 2s)");
           return false;
         }
         RunFor(d);
         return true;
       }});
  add({"sleep", "sleep DURATION",
       "freeze kore-sim for DURATION: no events read, robot still (lets requests pile up)",
       [this](const Args& a, KoreContext&) {
         milliseconds d;
         if (a.size() != 1 || !ParseDuration(a[0], &d)) {
           Error("usage: sleep DURATION");
           return false;
         }
         auto end = Clock::now() + d;
         while (Clock::now() < end && g_stopSignal == 0) {
           usleep(1000);
         }
         m_nextTick = Clock::now();
         return true;
       }});
  add({"say", "say TEXT", "print TEXT (a note in a script)", [this](const Args& a, KoreContext&) {
         std::string text;
         for (const auto& w : a) text += (text.empty() ? "" : " ") + w;
         Log("say", text, JsonObject().Add("text", text));
         return true;
       }});
  add({"quit", "quit", "end the module and kore-sim, removing what kore-sim made",
       [this](const Args&, KoreContext&) {
         m_quit = true;
         return true;
       }});
  m_commands["exit"] = m_commands["quit"];

  for (auto& family : m_families) {
    for (auto& c : family->Commands()) add(std::move(c));
  }
  for (auto& ext : m_extensions) {
    for (auto& c : ext->Commands()) {
      if (m_commands.count(c.name) != 0) {
        Error("extension " + ext->Name() + ": command " + c.name + " already exists; ignored");
        continue;
      }
      add(std::move(c));
    }
  }
}

void KoreSim::PrintHelp() {
  std::string text = "Commands:\n";
  size_t extensionCommands = 0;
  for (const auto& ext : m_extensions) extensionCommands += ext->Commands().size();
  for (size_t i = 0; i < m_commandOrder.size(); ++i) {
    const std::string& name = m_commandOrder[i];
    if (i == m_commandOrder.size() - extensionCommands && extensionCommands > 0) {
      text += "Commands of the extensions (";
      for (size_t e = 0; e < m_extensions.size(); ++e) {
        text += (e ? ", " : "") + m_extensions[e]->Name();
      }
      text += "):\n";
    }
    const Command& c = m_commands[name];
    text += "  " + c.usage + "\n      " + c.help + "\n";
  }
  if (m_opt.json) {
    Log("help", "", JsonObject().Add("text", text));
  } else {
    fputs(text.c_str(), stdout);
    fflush(stdout);
  }
}

}  // namespace kore
