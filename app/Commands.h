#pragma once
// Subcommand table of the orvandel binary. Each app/cmd_*.cpp defines one
// command and registers it with a static CommandRegistration.
#include <functional>
#include <string>
#include <vector>

namespace app {

struct Command {
    std::string name;     // as typed: "convert", "verify", ...
    std::string usage;    // one line, e.g. "convert SOURCE [options]"
    std::string summary;  // one sentence for --help
    // Receives the arguments after the command name; returns the exit status.
    std::function<int(const std::vector<std::string>& args)> run;
};

std::vector<Command>& Commands();

struct CommandRegistration {
    explicit CommandRegistration(Command command);
};

// The wizard entry point, provided by the GUI build; returns the exit status.
// Null when the binary was built without the GUI.
using GuiEntry = int (*)(int argc, char** argv);
GuiEntry& WizardEntry();

}  // namespace app
