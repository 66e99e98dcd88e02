// velko: the host harness (call, session, demo) and the terminal-server emulator.
#include <exception>
#include <iostream>
#include <utility>
#include <vector>

#include "Commands.h"

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

  try {
    app.parse(argc, argv);
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
