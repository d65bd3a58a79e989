// Block throughput over a pseudo-terminal against the simulated module, next to
// what the pty itself allows for frames of the same sizes.
//
//   bench_link_throughput [--chunk-kib N] [--chunks N] [--trace FILE]
//
// With --trace FILE the host writes the protocol trace into FILE throughout
// (the cost of VEK_TRACE on the image write).
//
// Three transfers against vek-sim (a child process):
//   - the programmer into the boot loader's RAM (1017-byte blocks, acknowledged 0x02),
//   - a streamed image with 1024-byte blocks (platform 6280) and 512-byte blocks (60X5).
// The ping-pong limit bounces frames of the same wire size between two processes
// over a pty pair (write, poll, read on both sides, no framing or CRC work), with
// a reply of the protocol's reply size. Transfers and ping-pong runs alternate in
// small chunks, so that both meet the same load on a shared machine; the ratio
// ping-pong time ÷ transfer time is the share of the pty's own limit the host
// and the module reach. VEK_BENCH_RUNS sessions (default 3); Markdown output.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench_support.h"
#include "images/image_set.h"
#include "images/platform_profile.h"
#include "link/crc16.h"
#include "link/hdlc_frame.h"
#include "link/port_source.h"
#include "link/serial_port.h"
#include "protocol/dmss_commands.h"
#include "protocol/stream_commands.h"
#include "records/job_records.h"
#include "records/protocol_trace.h"
#include "records/stop_wait.h"
#include "sim/frame_decoder.h"

namespace {

constexpr uint32_t kComBase = 20;

struct Transfer {
  Transfer(const char* name_text, int block) : name(name_text), block_bytes(block) {}
  const char* name;
  int block_bytes;
  double wire_bytes = 0;   // mean frame length on the wire, escapes included
  int reply_bytes = 0;     // the acknowledgement's frame length
  std::vector<double> blocks_per_s, mib_per_s, host_cpu, ping_pong, ratio;
  // CPU microseconds per block (host, module) and per round trip (ping-pong's two sides).
  std::vector<double> host_us, module_us, ping_host_us, ping_peer_us;
};

// ---- the pty's own limit -------------------------------------------------

bool WriteFully(int fd, const uint8_t* data, size_t length) {
  size_t done = 0;
  while (done < length) {
    const ssize_t n = write(fd, data + done, length - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return false;
    } else {
      pollfd p{fd, POLLOUT, 0};
      poll(&p, 1, 1000);
    }
  }
  return true;
}

bool ReadFully(int fd, uint8_t* buffer, size_t length) {
  size_t done = 0;
  while (done < length) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5000) <= 0) return false;
    const ssize_t n = read(fd, buffer + done, length - done);
    if (n > 0) done += static_cast<size_t>(n);
    else if (n == 0 || (errno != EAGAIN && errno != EINTR)) return false;
  }
  return true;
}

// Two processes on a pty pair: this one writes `frame` bytes, the other answers
// each with `reply` bytes as soon as all have arrived. No framing, no CRC.
class PingPongPair {
 public:
  PingPongPair(size_t frame, size_t reply) : out_(frame, 0x5A), in_(frame) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
    slave_ = open(ptsname(master), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios tio {};
    tcgetattr(master, &tio);
    cfmakeraw(&tio);
    tcsetattr(master, TCSANOW, &tio);
    if (slave_ >= 0) vek::ConfigurePort(slave_);  // the host's own settings
    peer_ = fork();
    if (peer_ == 0) {
      close(slave_);
      // Until this side closes its end.
      while (ReadFully(master, in_.data(), frame) && WriteFully(master, out_.data(), reply)) {
      }
      _exit(0);
    }
    close(master);
    reply_ = reply;
  }
  ~PingPongPair() {
    if (slave_ >= 0) close(slave_);
    if (peer_ > 0) wait4(peer_, nullptr, 0, &peer_usage_);
  }
  PingPongPair(const PingPongPair&) = delete;
  PingPongPair& operator=(const PingPongPair&) = delete;

  // Wall seconds of `trips` round trips (0 when one failed); adds this side's CPU time.
  double Bounce(int trips) {
    if (peer_ <= 0 || slave_ < 0) return 0;
    const double cpu_start = bench::CpuSeconds(RUSAGE_SELF);
    const auto start = bench::Clock::now();
    for (int i = 0; i < trips; ++i)
      if (!WriteFully(slave_, out_.data(), out_.size()) || !ReadFully(slave_, in_.data(), reply_)) return 0;
    const double wall = bench::SecondsSince(start);
    cpu_ += bench::CpuSeconds(RUSAGE_SELF) - cpu_start;
    return wall;
  }
  double cpu_seconds() const { return cpu_; }
  const rusage& peer_usage() const { return peer_usage_; }
  void Close() {
    if (slave_ >= 0) close(slave_);
    slave_ = -1;
    if (peer_ > 0) wait4(peer_, nullptr, 0, &peer_usage_);
    peer_ = -1;
  }

 private:
  std::vector<uint8_t> out_, in_;
  size_t reply_ = 0;
  int slave_ = -1;
  pid_t peer_ = -1;
  double cpu_ = 0;
  rusage peer_usage_ {};
};

// ---- the protocol against vek-sim -----------------------------------------

double MeanWireBytes(const std::vector<uint8_t>& data, int block, int header) {
  std::vector<uint8_t> packet(static_cast<size_t>(block + header + 2), 0x07);
  std::vector<uint8_t> wire(packet.size() * 2 + 2);
  double total = 0;
  int blocks = 0;
  for (size_t at = 0; at < data.size(); at += static_cast<size_t>(block), ++blocks) {
    const size_t length = std::min(data.size() - at, static_cast<size_t>(block));
    std::memcpy(packet.data() + header, data.data() + at, length);
    const uint16_t crc = vek::Crc16(packet.data(), static_cast<int>((header + length) * 8));
    packet[header + length] = static_cast<uint8_t>(crc);
    packet[header + length + 1] = static_cast<uint8_t>(crc >> 8);
    total += static_cast<double>(vek::EncodeFrame(packet.data(), header + length + 2, true, wire.data()));
  }
  return total / blocks;
}

std::vector<uint8_t> ImageBytes(size_t bytes, uint32_t seed) {
  std::vector<uint8_t> image(bytes);
  for (size_t i = 0; i < bytes; ++i) image[i] = static_cast<uint8_t>(((i + seed) * 2654435761u) >> 13);
  return image;
}

// One transfer of `data` to the module; false when a step failed.
bool TransferOnce(const Transfer& transfer) {
  if (transfer.block_bytes == vek::kProgrammerBlockSize) return vek::DmssWriteProgrammer();
  vek::TheJob().platform = transfer.block_bytes == 512 ? vek::PLATFORM_60X5 : vek::PLATFORM_6280;
  return vek::StreamOpenImage(vek::IMAGE_AMSS) && vek::StreamWriteImage(vek::IMAGE_AMSS) && vek::StreamClose();
}

// One session with a fresh vek-sim: `chunks` transfers of `data`, each right
// after the same number of ping-pong round trips, so that both meet the same
// conditions on a shared machine. True when the module holds what was sent.
bool RunSession(const std::string& sim, Transfer& transfer, const std::vector<uint8_t>& data, int chunks) {
  bench::ScratchDir dir;
  const bool to_ram = transfer.block_bytes == vek::kProgrammerBlockSize;
  bench::ChildProcess module({sim, "--port-map", dir / "ports", "--com-base", std::to_string(kComBase), "--state",
                              to_ram ? "bootloader" : "programmer"},
                             {});
  if (!module.started() || !bench::WaitForPortMap(dir / "ports")) return false;
  vek::SetPortMapPath(dir / "ports");
  if (!vek::OpenDiagPort(kComBase)) return false;

  const int blocks = static_cast<int>((data.size() + transfer.block_bytes - 1) / transfer.block_bytes);
  PingPongPair pair(static_cast<size_t>(std::lround(transfer.wire_bytes)), static_cast<size_t>(transfer.reply_bytes));
  double protocol_wall = 0, protocol_cpu = 0, ping_wall = 0;
  bool ok = true;
  for (int chunk = 0; chunk < chunks && ok; ++chunk) {
    const double ping = pair.Bounce(blocks);
    const double cpu_start = bench::CpuSeconds(RUSAGE_SELF);
    const auto start = bench::Clock::now();
    ok = TransferOnce(transfer) && ping > 0;
    const double wall = bench::SecondsSince(start);
    protocol_cpu += bench::CpuSeconds(RUSAGE_SELF) - cpu_start;
    protocol_wall += wall;
    ping_wall += ping;
    transfer.ratio.push_back(ping / wall);
  }
  pair.Close();
  vek::CloseDiagPort();
  module.Stop();

  // What the module received last must be what was sent.
  char expected[96];
  if (to_ram) {
    std::snprintf(expected, sizeof expected, "programmer in RAM: %zu bytes", data.size());
  } else {
    std::snprintf(expected, sizeof expected, "flash image 5: header 0 bytes, data %zu bytes, crc %04X", data.size(),
                  vek::Crc16(data.data(), static_cast<int>(data.size() * 8)));
  }
  ok = ok && module.output().find(expected) != std::string::npos;
  if (!ok) {
    std::fprintf(stderr, "bench_link_throughput: %s failed\n", transfer.name);
    return false;
  }
  const double total_blocks = static_cast<double>(blocks) * chunks;
  transfer.blocks_per_s.push_back(total_blocks / protocol_wall);
  transfer.mib_per_s.push_back(static_cast<double>(data.size()) * chunks / (1 << 20) / protocol_wall);
  transfer.ping_pong.push_back(total_blocks / ping_wall);
  transfer.host_cpu.push_back(protocol_cpu / protocol_wall);
  transfer.host_us.push_back(protocol_cpu * 1e6 / total_blocks);
  transfer.module_us.push_back(module.cpu_seconds() * 1e6 / total_blocks);
  transfer.ping_host_us.push_back(pair.cpu_seconds() * 1e6 / total_blocks);
  transfer.ping_peer_us.push_back(bench::CpuSeconds(pair.peer_usage()) * 1e6 / total_blocks);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  size_t chunk_kib = 256;
  int chunks = 20;
  std::string trace;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--chunk-kib") chunk_kib = std::strtoul(argv[i + 1], nullptr, 10);
    else if (arg == "--chunks") chunks = std::atoi(argv[i + 1]);
    else if (arg == "--trace") trace = argv[i + 1];
  }
  if (!trace.empty() && !vek::StartProtocolTrace(trace)) return 1;
  chunk_kib = std::clamp<size_t>(chunk_kib, 16, 65536);
  chunks = std::clamp(chunks, 1, 1000);
  const std::string sim = bench::BuiltProgram("sim", "vek-sim");
  const int sessions = bench::Runs(3);

  // The same bytes serve as the programmer and as the image.
  const std::vector<uint8_t> data = ImageBytes(chunk_kib << 10, 1);
  vek::StoreImageSlot(vek::ImageSlot::kProgrammer, data);
  vek::StoreImageSlot(vek::ImageSlot::kAmss, data);

  Transfer transfers[] = {{"programmer load (boot loader)", vek::kProgrammerBlockSize},
                          {"image write, 1024-byte blocks", 1024},
                          {"image write, 512-byte blocks", 512}};
  const uint8_t ack[] = {0x02};
  const uint8_t write_reply[] = {0x08, 0x00, 0x10, 0x00, 0x00};
  transfers[0].wire_bytes = MeanWireBytes(data, vek::kProgrammerBlockSize, 7);
  transfers[0].reply_bytes = static_cast<int>(sim::FrameReply({ack, ack + 1}, true).size());
  for (int k = 1; k < 3; ++k) {
    transfers[k].wire_bytes = MeanWireBytes(data, transfers[k].block_bytes, 5);
    transfers[k].reply_bytes = static_cast<int>(sim::FrameReply({write_reply, write_reply + 5}, true).size());
  }

  bool ok = true;
  for (int session = 0; session < sessions && ok; ++session)
    for (auto& transfer : transfers) {
      ok = RunSession(sim, transfer, data, chunks);
      if (!ok) break;
    }

  vek::StopProtocolTrace();
  std::printf("### Block throughput over a pty (bench_link_throughput%s)\n\n",
              trace.empty() ? "" : ", with the protocol trace");
  std::printf("vek-sim runs as a child process; %d sessions per transfer, each with a fresh vek-sim and %d "
              "transfers of %zu KiB. Each transfer follows, on the same machine a moment earlier, as many "
              "ping-pong round trips as it has blocks: frames of the same mean wire length bounced between two "
              "processes over a pty pair, answered with a reply of the acknowledgement's length, with no framing, "
              "CRC or other protocol work. Ratio: ping-pong time ÷ transfer time, median over all %d pairs; "
              "the other figures are medians over the sessions.\n\n",
              sessions, chunks, chunk_kib, sessions * chunks);
  std::printf("| transfer | frame on the wire | blocks/s | MiB/s | pty ping-pong frames/s | ratio (goal ≥ 0.9) | ratio, middle half of the pairs | host CPU s per s |\n");
  std::printf("|---|---|---|---|---|---|---|---|\n");
  for (const auto& t : transfers)
    std::printf("| %s | %.0f B out, %d B back | %.0f | %.2f | %.0f | **%.2f** | %.2f–%.2f | %.2f |\n", t.name,
                t.wire_bytes, t.reply_bytes, bench::Median(t.blocks_per_s), bench::Median(t.mib_per_s),
                bench::Median(t.ping_pong), bench::Median(t.ratio), bench::Quantile(t.ratio, 0.25),
                bench::Quantile(t.ratio, 0.75), bench::Median(t.host_cpu));
  std::printf("\nWhere the time goes, per block (transfer) and per round trip (ping-pong): wall time and CPU time "
              "(user + kernel) of each side. The module's CPU is vek-sim's whole life, start-up included.\n\n");
  std::printf("| transfer | wall µs | host CPU µs | module CPU µs | ping-pong wall µs | ping-pong CPU µs (writer + answerer) |\n");
  std::printf("|---|---|---|---|---|---|\n");
  for (const auto& t : transfers)
    std::printf("| %s | %.1f | %.1f | %.1f | %.1f | %.1f + %.1f |\n", t.name, 1e6 / bench::Median(t.blocks_per_s),
                bench::Median(t.host_us), bench::Median(t.module_us), 1e6 / bench::Median(t.ping_pong),
                bench::Median(t.ping_host_us), bench::Median(t.ping_peer_us));
  std::printf("\n");
  if (!ok) std::printf("**A transfer failed; the figures above are incomplete.**\n\n");
  return ok ? 0 : 1;
}
