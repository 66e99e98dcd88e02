// The velko command's subcommands. Each one registers its options on the
// application and returns the action that runs it (its exit status).
#pragma once

#include <CLI/CLI.hpp>
#include <functional>

namespace velko::tool {

using CommandAction = std::function<int()>;

CommandAction AddEmulatorCommand(CLI::App& app);
CommandAction AddCallCommand(CLI::App& app);
CommandAction AddSessionCommand(CLI::App& app);
CommandAction AddDemoCommand(CLI::App& app);
CommandAction AddDoctorCommand(CLI::App& app);
CommandAction AddNumeratorCommand(CLI::App& app);

}  // namespace velko::tool
