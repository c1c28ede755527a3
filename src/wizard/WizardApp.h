#pragma once
// The wizard program: the QApplication, the start window, and the screenshot mode.
// Plain C++ so that the command table can call it without seeing Qt.
namespace wizard {

// Opens the start window and runs until the user leaves through it. Options:
//   --screenshot DIR   saves a PNG of every window (initial state, and the
//                      migration window mid-run) into DIR and exits; needs no display.
int RunWizard(int argc, char** argv);

}  // namespace wizard
