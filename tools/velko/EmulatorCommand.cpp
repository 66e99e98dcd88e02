// velko emulator [--listen HOST:PORT] [--script FILE] [--journal FILE] [--log FILE]
// Serves the terminal server's protocol until SIGINT or SIGTERM. The first line
// on standard output is "listening on HOST:PORT" with the real port.
#include <atomic>
#include <chrono>
#include <csignal>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "Commands.h"
#include "emulator/TerminalEmulator.h"

namespace velko::tool {
namespace {

volatile std::sig_atomic_t g_stop_requested = 0;
extern "C" void OnStopSignal(int) { g_stop_requested = 1; }

struct EmulatorArgs {
  std::string listen = "127.0.0.1:16500";
  std::string script;
  std::string journal;
  std::string log;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

int RunEmulator(const EmulatorArgs& args) {
  const size_t colon = args.listen.rfind(':');
  if (colon == std::string::npos) throw std::runtime_error("--listen wants HOST:PORT, not " + args.listen);
  emulator::EmulatorOptions options;
  options.host = args.listen.substr(0, colon);
  const std::string port_text = args.listen.substr(colon + 1);
  size_t used = 0;
  const unsigned long port = port_text.empty() ? 70000 : std::stoul(port_text, &used);
  if (used != port_text.size() || port > 65535) throw std::runtime_error("not a TCP port: " + port_text);
  options.port = static_cast<uint16_t>(port);
  options.journal_path = args.journal;
  options.log_path = args.log;

  emulator::TerminalEmulator emu(options);
  if (!args.script.empty()) emu.LoadScript(ReadFile(args.script));
  std::signal(SIGINT, OnStopSignal);
  std::signal(SIGTERM, OnStopSignal);
  emu.Start();
  std::cout << "listening on " << emu.Host() << ":" << emu.Port() << std::endl;
  while (!g_stop_requested) std::this_thread::sleep_for(std::chrono::milliseconds(200));
  emu.Stop();
  std::cerr << "velko emulator: stopped after " << emu.RequestCount() << " requests" << std::endl;
  return 0;
}

}  // namespace

CommandAction AddEmulatorCommand(CLI::App& app) {
  auto args = std::make_shared<EmulatorArgs>();
  CLI::App* sub = app.add_subcommand("emulator", "run the terminal-server emulator in the foreground");
  sub->add_option("--listen", args->listen, "HOST:PORT to listen on (port 0: a free one)")
      ->capture_default_str();
  sub->add_option("--script", args->script, "misbehaviour script, JSON Lines");
  sub->add_option("--journal", args->journal, "journal file, kept across runs");
  sub->add_option("--log", args->log, "JSON Lines log of every request and answer");
  return [args] { return RunEmulator(*args); };
}

}  // namespace velko::tool
