// velko: the host harness (call, session, demo), the terminal-server emulator,
// and the support engineer's doctor and numerator.
#include <exception>
#include <iostream>
#include <utility>
#include <vector>

#include "Commands.h"

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>

#include <memory>
#include <string>

#include "ConsoleOutput.h"
#include "common/TextUtf.h"

namespace {

// Windows hands the arguments over in the ANSI code page, which cannot carry
// the driver's Russian method names: take them as UTF-16 and pass UTF-8 on.
std::vector<std::string> Utf8Arguments() {
  int count = 0;
  std::unique_ptr<LPWSTR, decltype(&::LocalFree)> argv(::CommandLineToArgvW(::GetCommandLineW(), &count),
                                                       &::LocalFree);
  std::vector<std::string> args;
  for (int i = 0; argv && i < count; ++i) args.push_back(velko::WideToUtf8(argv.get()[i]));
  return args;
}

}  // namespace
#endif

int main(int argc, char** argv) {
  CLI::App app{"velko: tools around the card-terminal driver"};
  app.require_subcommand(1);
  // Every subcommand adds itself here; the one given on the command line runs.
  std::vector<std::pair<CLI::App*, velko::tool::CommandAction>> commands;
  auto add = [&](velko::tool::CommandAction (*adder)(CLI::App&)) {
    const size_t before = app.get_subcommands({}).size();
    velko::tool::CommandAction action = adder(app);
    commands.emplace_back(app.get_subcommands({})[before], std::move(action));
  };
  add(&velko::tool::AddDemoCommand);
  add(&velko::tool::AddCallCommand);
  add(&velko::tool::AddSessionCommand);
  add(&velko::tool::AddEmulatorCommand);
  add(&velko::tool::AddDoctorCommand);
  add(&velko::tool::AddNumeratorCommand);

  try {
#ifdef _WIN32
    // Everything velko prints is UTF-8: a console gets it as wide characters.
    velko::tool::UseConsoleWideOutput();
    std::vector<std::string> args = Utf8Arguments();
    std::vector<const char*> pointers;
    for (const std::string& arg : args) pointers.push_back(arg.c_str());
    (void)argc;
    (void)argv;
    app.parse(static_cast<int>(pointers.size()), pointers.data());
#else
    app.parse(argc, argv);
#endif
  } catch (const CLI::ParseError& e) {
    const int rc = app.exit(e);
    return rc == 0 ? 0 : 2;
  }
  try {
    for (auto& [sub, action] : commands)
      if (sub->parsed()) return action();
  } catch (const std::exception& e) {
    std::cerr << "velko: " << e.what() << std::endl;
    return 2;
  }
  return 2;
}
