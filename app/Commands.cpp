#include "Commands.h"

#include <utility>

namespace app {

std::vector<Command>& Commands() {
    static std::vector<Command> table;
    return table;
}

CommandRegistration::CommandRegistration(Command command) {
    Commands().push_back(std::move(command));
}

GuiEntry& WizardEntry() {
    static GuiEntry entry = nullptr;
    return entry;
}

}  // namespace app
