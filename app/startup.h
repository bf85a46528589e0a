// Start-up of the main window: settings, selector lists, idle state, fade-in.
#pragma once

#include <functional>

class Form1;

struct StartupHooks {
    // The modal notice that "Set.txt" is missing; waits until it is closed.
    std::function<void()> showMissingFileMessage;
};

// The notice as the program shows it.
void showMissingFileMessageBox();

// Runs once, before the window is first shown, and returns when it is fully
// shown.  A "Set.txt" that is missing or cannot be used is reported once,
// replaced by the default file, and start-up goes on with "COM 1" and "9600".
void Form_Load(Form1& form, const StartupHooks& hooks = {showMissingFileMessageBox});
