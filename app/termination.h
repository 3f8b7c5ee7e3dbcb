// Delivery of SIGINT and SIGTERM to the event loop: the signals are blocked in
// every thread and read from a signalfd, so "asked to end" arrives as an
// ordinary event on the event-loop thread. blockTerminationSignals() must run
// before any thread is started.
#pragma once

void blockTerminationSignals();

// A descriptor that becomes readable when SIGINT or SIGTERM arrives, or -1.
int terminationSignalFd();

// Reads one pending signal from the descriptor; returns its number or 0.
int readTerminationSignal(int fd);
