// What a fatal signal must give back before the process dies: the exclusive mode of every open
// serial device. It belongs to the terminal, not to the descriptor, so on a device another
// process keeps open (a pseudo-terminal's far side) it would outlive us and shut out the next
// run. The records are plain atomics, so the release is safe inside a signal handler.
#pragma once

namespace tarvik {

// Notes that `fd` is an open serial device in exclusive mode (SerialPort, after its open).
void RecordExclusivePort(int fd);
// Forgets `fd` (SerialPort, before it clears the mode and closes).
void ForgetExclusivePort(int fd);
// Clears the exclusive mode of every recorded device. Async-signal-safe.
void ReleaseExclusivePortsForSignal();

// Installs, for SIGINT, SIGTERM, SIGHUP and SIGQUIT, a handler that releases the recorded
// devices, puts back their low-latency setting, runs `restore` (async-signal-safe, may be null),
// and then ends the process by the same signal, so its exit status stays the conventional one. Call
// once, before any thread starts.
void InstallReleasingSignalHandlers(void (*restore)());

}  // namespace tarvik
