// Ending the application, also before its message loop has started.
#pragma once

namespace platform {
// Asks the application to end: the running loop stops, and a loop not yet started is never
// entered (RunApplication returns at once).
void TerminateApplication();
bool ApplicationTerminated();
// Runs the application's message loop unless it was terminated already; returns its code.
int RunApplication();
} // namespace platform
