// orvandel: converts extracted Zimbra mailbox exports into Outlook PST files.
// Without arguments it opens the wizard; with a subcommand it runs headless.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "Commands.h"

namespace {

void PrintHelp() {
    std::printf(
        "orvandel %s - converts Zimbra mailbox exports into Outlook PST files\n\n"
        "Usage:\n"
        "  orvandel                 open the conversion wizard\n",
        ORVANDEL_VERSION);
    auto commands = app::Commands();
    std::sort(commands.begin(), commands.end(),
              [](const app::Command& a, const app::Command& b) { return a.name < b.name; });
    for (const auto& c : commands) std::printf("  orvandel %-40s %s\n", c.usage.c_str(), c.summary.c_str());
    std::printf(
        "  orvandel --help          show this text\n"
        "  orvandel --version       show the version\n\n"
        "Run 'orvandel COMMAND --help' for the options of a command.\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        if (auto entry = app::WizardEntry()) return entry(argc, argv);
        std::fprintf(stderr, "orvandel: this build has no wizard; run 'orvandel --help' for the commands\n");
        return 2;
    }
    const std::string first = argv[1];
    if (first == "--help" || first == "-h" || first == "help") {
        PrintHelp();
        return 0;
    }
    if (first == "--version") {
        std::printf("orvandel %s\n", ORVANDEL_VERSION);
        return 0;
    }
    for (const auto& c : app::Commands()) {
        if (c.name == first) return c.run(std::vector<std::string>(argv + 2, argv + argc));
    }
    if (first.rfind("-", 0) == 0 && app::WizardEntry()) {
        // Options such as --screenshot belong to the wizard.
        return app::WizardEntry()(argc, argv);
    }
    std::fprintf(stderr, "orvandel: unknown command '%s'; run 'orvandel --help'\n", first.c_str());
    return 2;
}
