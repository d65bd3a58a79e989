// Block throughput over a pseudo-terminal against the simulated module, next to
// what the pty itself allows for frames of the same sizes.
//
//   bench_link_throughput [--programmer-kib N] [--image-mib N]
//
// Three transfers, each against a fresh vek-sim child process:
//   - the programmer into the boot loader's RAM (1017-byte blocks, acknowledged 0x02),
//   - a streamed image with 1024-byte blocks (platform 6280) and 512-byte blocks (60X5).
// The ping-pong limit bounces frames of the same wire size between two processes
// over a pty pair (write, poll, read on both sides, no framing or CRC work), with
// a reply of the protocol's reply size. The ratio blocks/s ÷ ping-pong frames/s is
// the share of the pty's own limit the host and the module reach. Every figure
// is measured VEK_BENCH_RUNS times (default 5), interleaved; medians are printed
// as Markdown.
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
#include "link/stop_wait.h"
#include "protocol/dmss_commands.h"
#include "protocol/stream_commands.h"
#include "sim/frame_decoder.h"
#include "upgrade/job_records.h"

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

struct PingPongFigures {
  double per_second = 0;
  double host_us = 0, peer_us = 0;  // CPU per round trip of each side
};

// Round trips per second of `frame` bytes out and `reply` bytes back.
PingPongFigures PingPong(size_t frame, size_t reply, int round_trips) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return {};
  const int slave = open(ptsname(master), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (slave < 0) return {};
  termios tio {};
  tcgetattr(master, &tio);
  cfmakeraw(&tio);
  tcsetattr(master, TCSANOW, &tio);
  vek::ConfigurePort(slave);  // the host's own settings
  std::vector<uint8_t> out(frame, 0x5A), in(frame);
  const pid_t child = fork();
  if (child == 0) {
    close(slave);
    for (int i = 0; i < round_trips; ++i)
      if (!ReadFully(master, in.data(), frame) || !WriteFully(master, out.data(), reply)) _exit(1);
    // Closing the master hangs the pty up and drops what the other side has not read yet.
    pollfd p{master, POLLIN, 0};
    poll(&p, 1, 5000);
    _exit(0);
  }
  close(master);
  const auto start = bench::Clock::now();
  const double cpu_start = bench::CpuSeconds(RUSAGE_SELF);
  bool ok = child > 0;
  for (int i = 0; ok && i < round_trips; ++i)
    ok = WriteFully(slave, out.data(), frame) && ReadFully(slave, in.data(), reply);
  const double wall = bench::SecondsSince(start);
  const double cpu = bench::CpuSeconds(RUSAGE_SELF) - cpu_start;
  close(slave);
  int status = 1;
  rusage peer {};
  if (child > 0) wait4(child, &status, 0, &peer);
  if (!ok || status != 0) return {};
  return {round_trips / wall, cpu * 1e6 / round_trips, bench::CpuSeconds(peer) * 1e6 / round_trips};
}

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

// One transfer against a fresh vek-sim; true when the module holds what was sent.
bool RunTransfer(const std::string& sim, Transfer& transfer, const std::vector<uint8_t>& data, size_t ping_trips) {
  bench::ScratchDir dir;
  const bool to_ram = transfer.block_bytes == vek::kProgrammerBlockSize;
  bench::ChildProcess module({sim, "--port-map", dir / "ports", "--com-base", std::to_string(kComBase), "--state",
                              to_ram ? "bootloader" : "programmer"},
                             {});
  if (!module.started() || !bench::WaitForPortMap(dir / "ports")) return false;
  vek::SetPortMapPath(dir / "ports");
  if (!vek::OpenDiagPort(kComBase)) return false;

  // The pty's limit is measured right before and right after the transfer, and
  // the two averaged: on a shared machine the conditions drift between runs.
  const size_t frame_bytes = static_cast<size_t>(std::lround(transfer.wire_bytes));
  const size_t reply_bytes = static_cast<size_t>(transfer.reply_bytes);
  const PingPongFigures ping_before = PingPong(frame_bytes, reply_bytes, static_cast<int>(ping_trips));
  const double cpu_before = bench::CpuSeconds(RUSAGE_SELF);
  const auto start = bench::Clock::now();
  bool ok;
  if (to_ram) {
    ok = vek::DmssWriteProgrammer();
  } else {
    vek::TheJob().platform = transfer.block_bytes == 512 ? vek::PLATFORM_60X5 : vek::PLATFORM_6280;
    ok = vek::StreamOpenImage(vek::IMAGE_AMSS) && vek::StreamWriteImage(vek::IMAGE_AMSS) && vek::StreamClose();
  }
  const double wall = bench::SecondsSince(start);
  const double cpu = bench::CpuSeconds(RUSAGE_SELF) - cpu_before;
  vek::CloseDiagPort();
  module.Stop();

  // What the module received must be what was sent.
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
  const double blocks = std::ceil(static_cast<double>(data.size()) / transfer.block_bytes);
  const PingPongFigures ping_after = PingPong(frame_bytes, reply_bytes, static_cast<int>(ping_trips));
  const double ping = ping_before.per_second > 0 && ping_after.per_second > 0
                          ? (ping_before.per_second + ping_after.per_second) / 2
                          : 0;
  transfer.host_us.push_back(cpu * 1e6 / blocks);
  transfer.module_us.push_back(module.cpu_seconds() * 1e6 / blocks);
  transfer.ping_host_us.push_back((ping_before.host_us + ping_after.host_us) / 2);
  transfer.ping_peer_us.push_back((ping_before.peer_us + ping_after.peer_us) / 2);
  transfer.blocks_per_s.push_back(blocks / wall);
  transfer.mib_per_s.push_back(static_cast<double>(data.size()) / (1 << 20) / wall);
  transfer.host_cpu.push_back(cpu / wall);
  transfer.ping_pong.push_back(ping);
  transfer.ratio.push_back(ping > 0 ? blocks / wall / ping : 0);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  size_t programmer_kib = 2048, image_mib = 8;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--programmer-kib") programmer_kib = std::strtoul(argv[i + 1], nullptr, 10);
    else if (arg == "--image-mib") image_mib = std::strtoul(argv[i + 1], nullptr, 10);
  }
  programmer_kib = std::clamp<size_t>(programmer_kib, 64, 65536);
  image_mib = std::clamp<size_t>(image_mib, 1, 256);
  const std::string sim = bench::BuiltProgram("sim", "vek-sim");
  const int runs = bench::Runs(5);

  const std::vector<uint8_t> programmer = ImageBytes(programmer_kib << 10, 1);
  const std::vector<uint8_t> image = ImageBytes(image_mib << 20, 2);
  vek::StoreImageSlot(vek::ImageSlot::kProgrammer, programmer);
  vek::StoreImageSlot(vek::ImageSlot::kAmss, image);

  Transfer transfers[] = {{"programmer load (boot loader)", vek::kProgrammerBlockSize},
                          {"image write, 1024-byte blocks", 1024},
                          {"image write, 512-byte blocks", 512}};
  const uint8_t ack[] = {0x02};
  const uint8_t write_reply[] = {0x08, 0x00, 0x10, 0x00, 0x00};
  transfers[0].wire_bytes = MeanWireBytes(programmer, vek::kProgrammerBlockSize, 7);
  transfers[0].reply_bytes = static_cast<int>(sim::FrameReply({ack, ack + 1}, true).size());
  for (int k = 1; k < 3; ++k) {
    transfers[k].wire_bytes = MeanWireBytes(image, transfers[k].block_bytes, 5);
    transfers[k].reply_bytes = static_cast<int>(sim::FrameReply({write_reply, write_reply + 5}, true).size());
  }

  bool ok = true;
  for (int run = 0; run < runs && ok; ++run)
    for (auto& transfer : transfers) {
      const auto& data = &transfer == &transfers[0] ? programmer : image;
      const size_t blocks = (data.size() + transfer.block_bytes - 1) / transfer.block_bytes;
      ok = RunTransfer(sim, transfer, data, blocks) && ok;
      if (!ok) break;
    }

  std::printf("### Block throughput over a pty (bench_link_throughput)\n\n");
  std::printf("Programmer %zu KiB, image %zu MiB; vek-sim as a child process; median of %d runs. "
              "Ping-pong: frames of the same mean wire length bounced between two processes over a pty pair, "
              "with a reply of the acknowledgement's length, no protocol work; measured right before and "
              "after each transfer (the mean of the two is that run's limit).\n\n",
              programmer_kib, image_mib, runs);
  std::printf("| transfer | frame on the wire | blocks/s | MiB/s | pty ping-pong frames/s | ratio (goal ≥ 0.9) | host CPU s per s |\n");
  std::printf("|---|---|---|---|---|---|---|\n");
  for (const auto& t : transfers)
    std::printf("| %s | %.0f B out, %d B back | %.0f | %.2f | %.0f | **%.2f** | %.2f |\n", t.name, t.wire_bytes,
                t.reply_bytes, bench::Median(t.blocks_per_s), bench::Median(t.mib_per_s), bench::Median(t.ping_pong),
                bench::Median(t.ratio), bench::Median(t.host_cpu));
  std::printf("\nWhere the time goes: CPU microseconds per block (protocol) and per round trip (ping-pong), "
              "user + kernel, medians. The module's figure is vek-sim's whole life (start-up included).\n\n");
  std::printf("| transfer | wall µs per block | host CPU µs | module CPU µs | ping-pong wall µs | ping-pong sides CPU µs |\n");
  std::printf("|---|---|---|---|---|---|\n");
  for (const auto& t : transfers)
    std::printf("| %s | %.1f | %.1f | %.1f | %.1f | %.1f + %.1f |\n", t.name, 1e6 / bench::Median(t.blocks_per_s),
                bench::Median(t.host_us), bench::Median(t.module_us), 1e6 / bench::Median(t.ping_pong),
                bench::Median(t.ping_host_us), bench::Median(t.ping_peer_us));
  std::printf("\n");
  if (!ok) std::printf("**A transfer failed; the figures above are incomplete.**\n\n");
  return ok ? 0 : 1;
}
