#include "at/at_exchange.h"

#include <cstdio>
#include <string>

#include "link/console_output.h"
#include "link/serial_port.h"
#include "records/protocol_trace.h"
#include "records/stop_wait.h"

namespace vek {
namespace {

// The program's console only, as the serial layer's own trace.
void TraceToStdout(const char* text) {
  ConsoleWrite(text);
  ConsoleWrite("\n");
}

// An AT port held for one exchange; released (exclusivity first) on every path.
class ExclusivePort {
 public:
  explicit ExclusivePort(uint32_t number) : handle_(OpenSerialDevice(number, PortShare::kExclusive)) {}
  ~ExclusivePort() { CloseSerialDevice(handle_, PortShare::kExclusive); }
  ExclusivePort(const ExclusivePort&) = delete;
  ExclusivePort& operator=(const ExclusivePort&) = delete;
  PortHandle handle() const { return handle_; }
  bool is_open() const { return handle_ != kInvalidPort; }
  // Lets go of a port whose device has gone and opens port `number` again.
  bool Reopen(uint32_t number) {
    CloseSerialDevice(handle_, PortShare::kExclusive);
    handle_ = OpenSerialDevice(number, PortShare::kExclusive);
    return is_open();
  }

 private:
  PortHandle handle_;
};

}  // namespace

AtTransfer AtTransact(uint32_t port, const uint8_t* bytes, int length, uint32_t wait_ms, char* reply,
                      int reply_size, bool read_after_failed_write) {
  AtTransfer transfer;
  ExclusivePort at(port);
  // A device node may outlive its device for a moment: such a port is not open.
  if (at.is_open() && PortHungUp(at.handle())) at.Reopen(port);
  if (!at.is_open()) return transfer;
  transfer.opened = true;
  const std::string port_note = ProtocolTraceOn() ? "COM" + std::to_string(port) : std::string();
  // A module that drops off the bus during the exchange (a mode switch, a
  // reset) takes the command with it; when its port is back under the same
  // number, the exchange is made once more there. Only a port that has gone
  // is given this second round, never one that merely did not answer.
  for (bool second_round = false;; second_round = true) {
    ConfigurePort(at.handle());
    transfer.written = length > 0 && WritePort(at.handle(), bytes, length) == length;
    if (ProtocolTraceOn() && length > 0) {
      const std::string note = transfer.written ? port_note : port_note + "] [write failed";  // two notes
      TraceSentTextOrBytes(bytes, static_cast<size_t>(length), note);
    }
    if (!transfer.written) {
      if (!second_round && PortHungUp(at.handle()) && at.Reopen(port)) continue;
      TraceToStdout("serial: write failed!");
      if (!read_after_failed_write) return transfer;
    }
    transfer.waited = PauseMs(wait_ms);
    if (!transfer.waited || reply == nullptr || reply_size < 1) return transfer;
    transfer.received = ReadPort(at.handle(), reinterpret_cast<uint8_t*>(reply), reply_size - 1);
    reply[transfer.received] = '\0';
    if (transfer.received == 0 && !second_round && PortHungUp(at.handle()) && at.Reopen(port)) continue;
    if (transfer.received > 0 && ProtocolTraceOn())
      TraceReceivedTextOrBytes(reinterpret_cast<const uint8_t*>(reply), static_cast<size_t>(transfer.received), port_note);
    if (transfer.received == 0) TraceToStdout("serial: read failed!");
    return transfer;
  }
}

bool AtExchange(uint32_t port, const uint8_t* bytes, int length, char* reply, int reply_size) {
  AtTransact(port, bytes, length, kAtExchangeWaitMs, reply, reply_size, true);
  return true;
}

}  // namespace vek
