#pragma once
// Brings the crash handlers into the context's start-up: the signal, exception-port and terminate handler
// set-up tasks, and per-thread alternate stacks for every thread the platform starts from now on. Called at
// class load, before the platform's first thread and before the context is initialised.

void VZRCrashHandlersLoad();
