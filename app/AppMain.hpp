#pragma once
// The app's entry point: launches the application with the delegate class and runs its main loop.

// Returns 0 once the main loop ends.
int appMain(int argc, char** argv);
