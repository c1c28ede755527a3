// The wizard against `orvandel convert` on the same mailbox: both convert a
// made-up export of N messages (6,000 by default) into a new PST; the figures
// are the two times and their ratio beside the goal (the wizard within 1.2x).
// The window runs on the platform Qt is given (offscreen when none is set), its
// dialogs answered by the program.
//
//   wizard_vs_convert [--messages N] [--work DIR]
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QPushButton>
#include <QRadioButton>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "wizard/ShellServices.h"
#include "wizard/frmMigateAll.h"
#include "wizard/frmSingle.h"
#include "wizard/frmStart.h"

namespace fs = std::filesystem;

namespace {

void MakeMailbox(const fs::path& box, int messages) {
    const char* folders[] = {"Inbox", "Sent", "Archive/2021", "Projects/Plans"};
    for (int i = 0; i < messages; ++i) {
        const fs::path dir = box / folders[i % 4];
        fs::create_directories(dir);
        char name[64];
        std::snprintf(name, sizeof name, "%010d-Message %d.eml", 1000 + i, i);
        std::ofstream f(dir / name, std::ios::binary);
        f << "From: Alice <alice@example.com>\r\nTo: Bob <bob@example.com>\r\nSubject: Message " << i
          << "\r\nDate: Mon, 7 Dec 2026 09:00:00 +0000\r\nMessage-ID: <m" << i
          << "@example.com>\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n";
        for (int line = 0; line < 30; ++line) f << "Line " << line << " of message " << i << ".\r\n";
    }
}

}  // namespace

int main(int argc, char** argv) {
    int messages = 6000;
    std::string work = (fs::temp_directory_path() / "orvandel-wizard-bench").string();
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--messages") messages = std::atoi(argv[i + 1]);
        else if (a == "--work") work = argv[i + 1];
    }
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    fs::remove_all(work);
    const fs::path box = fs::path(work) / "jdoe";
    MakeMailbox(box, messages);

    // A first run, not timed, reads the new files into the cache for both.
    const std::string warm = std::string(ORVANDEL_BINARY) + " convert '" + box.string() + "' --pst '" + work +
                             "/warm.pst' --quiet > /dev/null";
    if (std::system(warm.c_str()) != 0) return 1;
    QElapsedTimer clock;
    clock.start();
    const std::string command = std::string(ORVANDEL_BINARY) + " convert '" + box.string() + "' --pst '" + work +
                                "/convert.pst' --quiet > /dev/null";
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "wizard_vs_convert: %s failed\n", command.c_str());
        return 1;
    }
    const double convertSeconds = double(clock.elapsed()) / 1000;

    auto& hooks = wizard::Hooks();
    hooks.browseForFolder = [&](QWidget*, const QString&) { return QString::fromStdString(box.string()); };
    hooks.saveFile = [&](QWidget*, const QString&, const QString&) { return QString::fromStdString(work + "/wizard.pst"); };
    QString completion;
    hooks.message = [&](QWidget*, const QString&, const QString& text, QMessageBox::Icon) { completion = text; };
    hooks.askYesNo = [](QWidget*, const QString&, const QString&) { return false; };
    auto* start = new wizard::frmStart;
    start->show();
    start->OptSingle->setChecked(true);
    start->CmdNext_Click();
    wizard::frmSingle* single = start->SingleWindow();
    single->CmdAddFolder->click();
    single->CmdNext->click();
    wizard::frmMigateAll* window = single->MigrationWindow();
    if (!window) {
        std::fprintf(stderr, "wizard_vs_convert: the migration window did not open\n");
        return 1;
    }
    clock.restart();
    window->CmdStartConversion->click();
    const double wizardSeconds = double(clock.elapsed()) / 1000;
    if (!completion.contains(QStringLiteral("Converted Successfully"))) {
        std::fprintf(stderr, "wizard_vs_convert: the wizard's run ended: %s\n", qPrintable(completion));
        return 1;
    }
    std::printf("mailbox            %d messages (%s)\n", messages, box.c_str());
    std::printf("orvandel convert   %8.2f s\n", convertSeconds);
    std::printf("wizard             %8.2f s (platform %s)\n", wizardSeconds, qPrintable(QGuiApplication::platformName()));
    std::printf("ratio              %8.2f   (goal: at most 1.20)\n", convertSeconds > 0 ? wizardSeconds / convertSeconds : 0.0);
    delete start;
    fs::remove_all(work);
    return 0;
}
