// The program around the application: the main interface (what the platform's main interface file
// describes) and the whole run of the executable, with the command line of launch_options.h.
//
// Main thread only.
#pragma once

#include <iosfwd>

#include "platform/appkit/application.h"
#include "platform/appkit/application_main.h"

namespace runner {

// The main window's frame as the main interface gives it.
inline constexpr appkit::Rect kMainWindowFrame{{335, 390}, {800, 600}};
inline constexpr const char* kMainWindowTitle = "quellmark";

// An AppDelegate and one MainFlutterWindow (kMainWindowFrame, titled kMainWindowTitle).
appkit::MainInterface QuellmarkMainInterface();

// Runs the executable: parses the command line (a bad one prints the problem and the usage on
// `err` and returns 2; a console script that cannot be opened returns 1), points the main bundle
// at --bundle, then runs the application with QuellmarkMainInterface(). Once launching has
// finished, a main-queue block runs the Dart console on the main window's engine when --dart was
// given (reading `in` for "-", printing on `out`), and then closes the main window, which ends
// the application. Returns the application's exit status (0). `application` defaults to the
// shared application.
int QuellmarkMain(int argc, const char* const* argv, std::istream& in, std::ostream& out,
                  std::ostream& err, appkit::Application* application = nullptr);

}  // namespace runner
