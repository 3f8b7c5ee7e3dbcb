// Runs the Qt Widgets main window for the start-up routine: installs the Qt
// event loop for the model, routes the process signals to the window
// (SIGUSR1 the connect button, SIGUSR2 the user switch, SIGINT and SIGTERM
// the end of the session, which also cancels any box or dialog open then),
// runs the window until it is closed and takes everything down in order.
// Needs a QApplication; main thread only.
#pragma once

void runMainWindow();

// Start-up's message boxes as Qt message boxes; SIGINT or SIGTERM presses
// the box's button.
void showQtMessageBox(const char* text, const char* caption);
