// The serial link to the module: the one process-wide diagnostic port `DiagPort`
// and the operations that open, configure, write, read, purge and close ports.
//
// A port is a terminal device in raw mode at 115200 baud 8N1 without flow control;
// reads return at once with what has arrived. Port numbers map to devices through
// the port source (link/port_source.h).
#pragma once

#include <atomic>
#include <cstdint>

namespace vek {

using PortHandle = int;
inline constexpr PortHandle kInvalidPort = -1;

// The open diagnostic port, or kInvalidPort. Written by open and close only.
extern std::atomic<PortHandle> DiagPort;

enum class PortShare {
  kShared,     // the diagnostic port: other openers may hold it too
  kExclusive,  // the AT exchanges: TIOCEXCL plus an advisory lock (root ignores TIOCEXCL)
};

// Opens the terminal device of port `number` without configuring it. Returns
// kInvalidPort when the port is absent, is not a terminal or is held exclusively.
PortHandle OpenSerialDevice(uint32_t number, PortShare share);

// Closes a handle from OpenSerialDevice, giving up its exclusivity first.
void CloseSerialDevice(PortHandle handle, PortShare share);

// Opens DiagPort on `number` unless it is already open (then the open port is
// kept). A held port whose device has gone (see PortHungUp) is not open: it is
// closed and port `number` is opened afresh, so a module that dropped off the
// bus is found again as soon as its port is back.
bool OpenDiagPort(uint32_t number);

// True when the device behind `handle` has gone: the other side of a pty
// closed, a USB tty unplugged (poll reports POLLHUP, POLLERR or POLLNVAL, or
// the terminal settings can no longer be read: EIO, ENODEV). Never blocks and
// never reads a byte. False for the invalid handle.
bool PortHungUp(PortHandle handle);

// Raw 115200 8N1, no flow control, DTR and RTS inactive, reads that never block;
// flushes both directions. False only for the invalid handle.
bool ConfigurePort(PortHandle handle);

// Writes all bytes and returns only once they have left the output queue.
// Returns the count written, or 0 on failure (including a write that makes no
// progress for 1000 ms, retried a few times, and a stop request).
int WritePort(PortHandle handle, const uint8_t* data, int count);

// One read of what has already arrived, up to `wanted` bytes; never blocks.
int ReadPort(PortHandle handle, uint8_t* buffer, int wanted);

inline constexpr int kPurgeReceive = 0;
inline constexpr int kPurgeTransmit = 1;

// Selector 0 discards received, unread bytes; selector 1 discards output still
// queued by this program (never bytes WritePort reported written); others do nothing.
void PurgeDiagPort(int selector);

// Closes DiagPort if it is open.
void CloseDiagPort();

// Counts receive-side purges (each once its bytes are gone), opens and closes of
// DiagPort, so that a reader holding part of a frame knows the bytes it kept were
// discarded.
uint32_t DiagReceiveGeneration();

// Transmit purge of any handle: flushes only while output is still queued.
void PurgeTransmit(PortHandle handle);

}  // namespace vek
