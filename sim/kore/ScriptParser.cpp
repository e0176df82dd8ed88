#include "ScriptParser.h"

#include <sstream>

namespace kore {

Args ParseScriptLine(const std::string& rawLine) {
  std::string line = rawLine;
  size_t hash = line.find('#');
  if (hash != std::string::npos) line.erase(hash);
  Args words;
  std::istringstream in(line);
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

std::vector<ScriptLine> ParseScript(const char* data, size_t size) {
  std::vector<ScriptLine> lines;
  size_t start = 0;
  while (start < size) {
    size_t end = start;
    while (end < size && data[end] != '\n') ++end;
    std::string text(data + start, end - start);
    Args words = ParseScriptLine(text);
    lines.push_back({lines.size() + 1, std::move(text), std::move(words)});
    start = end + 1;
  }
  return lines;
}

}  // namespace kore
