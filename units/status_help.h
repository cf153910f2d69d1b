// What each status code of the three walks means, and what to do about it on
// Windows and on Linux: one table, from which the console's explanations, the
// JSON's problems and the README's table are all made.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "units/walks.h"

namespace kq {


enum class HelpSystem { kWindows, kLinux };

struct StatusHelp {
  Walk walk;
  int code;
  std::wstring_view meaning;  // what was found, one sentence without its full stop
  std::wstring_view onWindows;  // what to do on Windows
  std::wstring_view onLinux;    // what to do on Linux
};

// Every status code of every walk from 1 up, MCU, FTDI and audio in turn.
const std::vector<StatusHelp>& StatusHelpTable();

// The entry of a walk's code; null for 0 (complete) and for the codes that
// are no step of the walk.
const StatusHelp* FindStatusHelp(Walk walk, int code);

// "mcu", "ftdi", "audio": the walk's name in JSON.
std::wstring_view WalkName(Walk walk);

// "MCU", "FTDI", "AUDIO": the walk's name in the report's error lines.
std::wstring_view WalkLabel(Walk walk);

std::wstring_view RemedyFor(const StatusHelp& help, HelpSystem system);

// A text of the table for a terminal or JSON: the Markdown code quotes
// around commands and modules left out.
std::wstring PlainText(std::wstring_view text);

// The README's table: one Markdown row per code, with both remedies.
std::wstring StatusHelpMarkdown();

// The same for a plain-text file of one system, lines of at most 78
// characters: each code's line as the report shows it, then what it means and
// what to do there, indented.
std::wstring StatusHelpPlain(HelpSystem system);

}  // namespace kq
