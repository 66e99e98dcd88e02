// Misbehaviour on request: rules that pick requests by operation type and
// count and say what the emulator does with them instead of a plain answer.
//
// Script file: JSON Lines, one rule per line; blank lines and lines starting
// with "#" are ignored. Fields of a rule:
//   "op"       operation type ("PUR", "SRV", ...) or "*" for any (default "*")
//   "function" for "SRV": only this service function number (optional)
//   "nth"      the first matching request it applies to, counting from 1 the
//              requests of that operation type ("*": all requests) (default 1)
//   "times"    how many requests from there on (default 1; 0: all)
//   "action"   one of
//     "answer"  the normal answer (with "card" or "delay_ms" only)
//     "decline" answer without approval: "code" (default "05") and
//               "message" (default "ОТКАЗ")
//     "tt"      answer "TT"; "journal" says what the journal then holds:
//               "approved" (default), "declined", "unknown" (nothing),
//               "undetermined" (the journal says "TT" too)
//     "silent"  no answer; the connection stays open until the client closes
//     "close"   close the connection without answering
//     "pieces"  the answer in pieces: "pieces" gives the sizes of the first
//               ones (default [2]), the rest follows; "gap_ms" between (default 50)
//     "partial" only the first "bytes" bytes of the answer (default: half),
//               then silence until the client closes
//     "garbage" "hex" bytes (or "bytes" random ones, default 16) instead of
//               an answer, then close
//     "extra"   the answer followed by "hex" bytes (or "bytes" random ones)
//   "delay_ms" waits this long before answering (any action)
//   "card"     the card number the operation uses (VER reads this card)
//   "journal"  for the transport actions: "unknown" keeps the operation out
//              of the journal (it never reached the bank); by default it is
//              carried out and recorded like any other
// The first rule that matches a request applies.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velko::emulator {

enum class ScriptAction { Answer, Decline, TT, Silent, Close, Pieces, Partial, Garbage, Extra };

struct ScriptRule {
  std::string op = "*";
  std::optional<int> function;
  int nth = 1;
  int times = 1;
  ScriptAction action = ScriptAction::Answer;
  std::string code = "05";
  std::string message = "ОТКАЗ";  // UTF-8
  std::string journal;            // empty: the action's default
  std::vector<size_t> pieces;
  int gap_ms = 50;
  std::optional<size_t> bytes;
  std::string data;  // raw bytes from "hex"
  int delay_ms = 0;
  std::string card;
};

// Parses JSON Lines; throws std::runtime_error naming the line of a bad rule.
std::vector<ScriptRule> ParseScript(const std::string& text);
ScriptRule ParseScriptRule(const std::string& json_line);

}  // namespace velko::emulator
