#include "emulator/EmulatorScript.h"

#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

namespace velko::emulator {
namespace {

ScriptAction ActionByName(const std::string& name) {
  static const std::pair<const char*, ScriptAction> names[] = {
      {"answer", ScriptAction::Answer},   {"decline", ScriptAction::Decline},
      {"tt", ScriptAction::TT},           {"silent", ScriptAction::Silent},
      {"close", ScriptAction::Close},     {"pieces", ScriptAction::Pieces},
      {"partial", ScriptAction::Partial}, {"garbage", ScriptAction::Garbage},
      {"extra", ScriptAction::Extra}};
  for (const auto& [n, a] : names)
    if (name == n) return a;
  throw std::runtime_error("unknown action \"" + name + "\"");
}

std::string FromHex(const std::string& hex) {
  std::string out;
  int high = -1;
  for (char c : hex) {
    int v;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    else if (c == ' ') continue;
    else throw std::runtime_error("not a hex digit in \"" + hex + "\"");
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<char>(high * 16 + v));
      high = -1;
    }
  }
  if (high >= 0) throw std::runtime_error("odd number of hex digits in \"" + hex + "\"");
  return out;
}

}  // namespace

ScriptRule ParseScriptRule(const std::string& json_line) {
  const nlohmann::json j = nlohmann::json::parse(json_line);
  if (!j.is_object()) throw std::runtime_error("a rule is a JSON object");
  ScriptRule r;
  r.op = j.value("op", std::string("*"));
  if (j.contains("function")) r.function = j.at("function").get<int>();
  r.nth = j.value("nth", 1);
  r.times = j.value("times", 1);
  if (r.nth < 1 || r.times < 0) throw std::runtime_error("\"nth\" counts from 1, \"times\" from 0");
  r.action = ActionByName(j.value("action", std::string("answer")));
  r.code = j.value("code", r.code);
  r.message = j.value("message", r.message);
  r.journal = j.value("journal", std::string());
  if (!r.journal.empty() && r.journal != "approved" && r.journal != "declined" &&
      r.journal != "unknown" && r.journal != "undetermined")
    throw std::runtime_error("unknown journal outcome \"" + r.journal + "\"");
  if (j.contains("pieces")) r.pieces = j.at("pieces").get<std::vector<size_t>>();
  r.gap_ms = j.value("gap_ms", r.gap_ms);
  if (j.contains("bytes")) r.bytes = j.at("bytes").get<size_t>();
  if (j.contains("hex")) r.data = FromHex(j.at("hex").get<std::string>());
  r.delay_ms = j.value("delay_ms", j.value("ms", 0));
  r.card = j.value("card", std::string());
  return r;
}

std::vector<ScriptRule> ParseScript(const std::string& text) {
  std::vector<ScriptRule> rules;
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    try {
      rules.push_back(ParseScriptRule(line));
    } catch (const std::exception& e) {
      throw std::runtime_error("script line " + std::to_string(number) + ": " + e.what());
    }
  }
  return rules;
}

}  // namespace velko::emulator
