// kore-sim's script language at the level of text: lines and words. Commands
// come one per line; `#` starts a comment that runs to the end of the line;
// words are separated by blanks (spaces, tabs, a carriage return). These
// functions take any bytes and never fail: what the words mean is the
// commands' business.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "KoreExtension.h"

namespace kore {

// The command words of one line, the comment removed; empty for a blank or
// comment-only line.
Args ParseScriptLine(const std::string& line);

// One line of a script file.
struct ScriptLine {
  size_t number;     // 1-based
  std::string text;  // as written, without its newline
  Args words;        // ParseScriptLine(text)
};

// Every line of a script held in `size` bytes at `data`; a last line without
// a newline counts as a line.
std::vector<ScriptLine> ParseScript(const char* data, size_t size);

}  // namespace kore
