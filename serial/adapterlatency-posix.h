#pragma once
// A USB serial adapter holds a short reply until its latency timer runs out
// (16 ms by default on Linux's FTDI driver), and every procedure call waits
// for one. The driver lowers the timer to 1 ms for a port whose serial flags
// ask for low latency, which an ordinary user may set. The open asks for it,
// the close puts back what the driver had; a port that cannot take it (a
// pseudo-terminal, a driver without serial flags, no permission) serves
// unchanged, and the trace says so.
#include <string>

#include "serial/serialstream.h"

// Asks the driver of the open port `fd` for low latency. Never fails: what
// it could not do is traced in one line.
CSerialStream::AdapterLatency LowerAdapterLatency(int fd, const std::string& portName);
// Clears the low-latency flag again where LowerAdapterLatency set it. Never
// fails; a refusal is traced.
void RestoreAdapterLatency(int fd, CSerialStream::AdapterLatency latency,
                           const std::string& portName);
