// One-shot exchanges on the module's AT, NMEA or diagnostic port: open the port
// by number (exclusively, so no other program talks to it meanwhile), write one
// command, pause, read once, close. No port is held between exchanges. A port
// whose device goes away meanwhile counts as closed: it is opened by its number
// again and, once, the exchange is made anew on it.
#pragma once

#include <cstdint>
#include <string_view>

namespace vek {

// The commands, sent without a terminating NUL.
inline constexpr std::string_view kAtIdentify = "ATI\r\n";
inline constexpr std::string_view kAtMakerIdentify = "AT+KORVANATI\r\n";
inline constexpr std::string_view kAtPowerOnDefault = "AT+CPWROND=0\r\n";
inline constexpr std::string_view kAtRestoreFactory = "AT&F1\r\n";

// Pause between a command and the read of its reply.
inline constexpr uint32_t kAtExchangeWaitMs = 100;
inline constexpr uint32_t kAtPowerOnDefaultWaitMs = 200;
inline constexpr uint32_t kAtRestoreFactoryWaitMs = 2000;

// Most bytes one read takes; reply buffers are one byte larger.
inline constexpr int kAtReadSize = 260;
inline constexpr int kAtReplyBufferSize = kAtReadSize + 1;
inline constexpr int kAtRestoreReadSize = 50;

struct AtTransfer {
  bool opened = false;   // the port could be opened exclusively
  bool written = false;  // every byte of the command left the host
  bool waited = false;   // the pause ran out (false: the thread was asked to stop)
  int received = 0;      // bytes the one read returned
};

// Opens and configures port `port`, writes the bytes, pauses `wait_ms`, reads
// once into `reply` and closes the port. At most reply_size - 1 bytes are read
// and a NUL is put after them, so the reply always ends as text inside the
// buffer. A failed write skips the read unless `read_after_failed_write`.
// When the port's device has gone (at the open, by a failed write or by an
// empty read), the port is reopened by number and the command sent once more.
// Failed writes and empty reads are traced on standard output.
AtTransfer AtTransact(uint32_t port, const uint8_t* bytes, int length, uint32_t wait_ms, char* reply,
                      int reply_size, bool read_after_failed_write);

// The exchange made for identity reads and the one-shot mode probe: 100 ms
// pause, reply read into `reply` (left as it was when the port cannot be
// opened; callers pass it zero-filled). Always true.
bool AtExchange(uint32_t port, const uint8_t* bytes, int length, char* reply, int reply_size);

// The bytes of a command text.
inline const uint8_t* CommandBytes(std::string_view command) {
  return reinterpret_cast<const uint8_t*>(command.data());
}
inline int CommandLength(std::string_view command) { return static_cast<int>(command.size()); }

}  // namespace vek
