// velko call [--set ID=VALUE]... [--open] [--host-exe NAME] [--class NAME] [--com | --native PATH] METHOD [ARG]...
// velko session [--set ID=VALUE]... [--open] [--host-exe NAME] [--class NAME] [--com | --native PATH]
//
// --class chooses the add-in class (a_velko1c83 by default; a_velko1c83_3004
// and a_velko1c83_4000 speak the host's later interface revisions).
//
// With --native the object is the Native API module at PATH, loaded through
// its exported functions as the host loads it; PATH may be the package zip,
// whose manifest names the module for this system.
// `call` runs one host method through the add-in object and prints one JSON
// object: {"method", "number", "hresult", "return", "params", "lastError"}.
// `session` keeps one object for many calls read as JSON Lines from standard
// input ({"call": NAME, "params": [...]}, {"set": ID, "value": V},
// {"get": ID}) and answers each with one JSON line. Where the driver asks the
// cashier for a receipt number, the answer is the next line of standard input.
// With --com (Windows) the object is the registered DLL's, created through the
// COM runtime by its ProgID as the host creates it; its own dialog asks for a
// receipt number then.
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "Commands.h"
#include "HostHarness.h"
#ifdef _WIN32
#include "ComHost.h"
#endif
#include "SessionLine.h"
#include "common/TextUtf.h"

namespace velko::tool {
namespace {

struct HostOptions {
  std::vector<std::string> settings;
  bool open = false;
  std::string host_exe;
  bool com = false;
  std::string native;
  std::string cls;
};

void AddHostOptions(CLI::App& cmd, HostOptions& options) {
  // One value per --set: what follows it belongs to the method.
  cmd.add_option("--set", options.settings, "write a setting first, as ID=VALUE (repeatable)")
      ->allow_extra_args(false);
  cmd.add_flag("--open", options.open, "run \"Подключить\" (Open) before the call");
  cmd.add_option("--host-exe", options.host_exe, "the host executable's file name, e.g. 1cv7.exe");
  cmd.add_flag("--com", options.com,
               "create the registered add-in through the COM runtime by its ProgID, as the host does (Windows)");
  cmd.add_option("--class", options.cls, "the add-in class: a_velko1c83 (default), a_velko1c83_3004, a_velko1c83_4000");
  cmd.add_option("--native", options.native, "play the host of the Native API module at PATH (.so / .dll, or the package zip)");
}

// Creates the object, writes the settings and opens the device when asked.
// Returns the harness, or throws with a message for the person at the terminal.
std::unique_ptr<Host> PrepareHost(const HostOptions& options) {
  std::unique_ptr<Host> host;
  const TAddInClass& cls = AddInClassNamed(options.cls);
  if (options.com && !options.native.empty())
    throw CLI::ValidationError("--com", "and --native are two different hosts: choose one");
  if (options.com) {
    // The DLL sees the real executable's name; a copy of velko.exe named
    // 1cv7.exe plays the oldest host through COM.
    if (!options.host_exe.empty())
      throw CLI::ValidationError("--host-exe", "does not apply with --com: the DLL sees this program's own name");
#ifdef _WIN32
    host = CreateComHost(cls);
#else
    throw CLI::ValidationError("--com", "needs Windows: the COM runtime creates the registered DLL");
#endif
  } else {
    host = std::make_unique<HostHarness>(options.host_exe, options.native, cls);
  }
  for (const std::string& setting : options.settings) {
    const size_t eq = setting.find('=');
    if (eq == std::string::npos || eq == 0) throw CLI::ValidationError("--set", "wants ID=VALUE, not " + setting);
    host->SetSetting(setting.substr(0, eq), setting.substr(eq + 1));
  }
  if (options.open) {
    CallResult opened = host->Call("Подключить", {});
    if (opened.hresult != kS_OK || !opened.ret.ToBool())
      std::cerr << "velko: the device did not open: " << opened.lastErrorCode << " "
                << WideToUtf8(opened.lastErrorText) << std::endl;
  }
  return host;
}

// The method's truth decides, under every host (the oldest gets 1 and 0).
int ExitStatus(const CallResult& result) {
  if (result.hresult != kS_OK) return 2;
  if (result.truth.has_value() && !*result.truth) return 1;
  return 0;
}

}  // namespace

CommandAction AddCallCommand(CLI::App& app) {
  auto* cmd = app.add_subcommand("call", "call one driver method as the host does and print the outcome as JSON");
  auto options = std::make_shared<HostOptions>();
  auto method = std::make_shared<std::string>();
  auto args = std::make_shared<std::vector<std::string>>();
  AddHostOptions(*cmd, *options);
  cmd->add_option("METHOD", *method, "the method, by its English or Russian name")->required();
  cmd->add_option("ARG", *args, "the parameters: JSON values (100, 100.5, true, null, \"007\") or plain text");
  return [options, method, args]() -> int {
    auto host = PrepareHost(*options);
    std::vector<HostValue> params;
    for (const std::string& arg : *args) params.push_back(ArgToHostValue(arg));
    const CallResult result = host->Call(*method, std::move(params));
    std::cout << CallResultToJson(result).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << std::endl;
    return ExitStatus(result);
  };
}

CommandAction AddSessionCommand(CLI::App& app) {
  auto* cmd = app.add_subcommand("session", "one add-in object for many calls, JSON Lines in and out");
  auto options = std::make_shared<HostOptions>();
  AddHostOptions(*cmd, *options);
  return [options]() -> int {
    auto host = PrepareHost(*options);
    std::string line;
    while (std::getline(std::cin, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.find_first_not_of(" \t") == std::string::npos) continue;
      std::cout << SessionAnswer(*host, line) << std::endl;
    }
    return 0;
  };
}

}  // namespace velko::tool
