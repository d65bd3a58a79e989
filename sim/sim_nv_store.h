// The simulated module's NV items and its answers to NV read and write requests.
//
// Every item id 0 … 7157 exists, shaped like the host's item table: a plain
// item holds 128 bytes; an array item holds `count` elements whose byte 0 is
// the index, and refuses the index past its end with 0x14. A few plain items
// answer with a non-zero status. Item 550 holds the IMEI, item 1943 the MEID.
// Writes update the store and are recorded. The store locks itself, so tests
// may look at it while the module runs.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <vector>

#include "sim/sim_options.h"
#include "sim/sim_program.h"

namespace sim {

using NvBytes = std::array<uint8_t, 128>;

struct SimNvWrite {
  uint16_t item;
  NvBytes data;  // request bytes 3 … 130
};

class SimNvStore {
 public:
  static constexpr uint16_t kItemCount = 7158;
  static constexpr uint16_t kNotActiveStatus = 5;

  SimNvStore();
  // Seeds every item, sets the identity items and the faults.
  void Configure(const NvOptions& options);
  // Gives every item new data (a freshly flashed module); the identity items keep theirs.
  void Reseed(uint32_t seed);
  // What a completed download does: every item back to its defaults when the
  // module was set up so (NvOptions::reset_by_download); the same defaults each time.
  void OnDownloadCompleted();
  // Refuses every NV write with `code` from now on (0: writes are taken).
  void SetWriteRefusal(uint8_t code);

  void OnFrame(const DecodedFrame& frame, SimActions& actions);

  // The status a read of `item` answers with.
  static uint16_t ReadStatus(uint16_t item);
  // What a read reply carries in bytes 3 … 130 for `item` (element `index` of an array).
  NvBytes Element(uint16_t item, int index) const;
  // Every item's elements, to compare whole stores.
  std::vector<std::vector<NvBytes>> Snapshot() const;
  std::vector<SimNvWrite> Writes() const;

 private:
  void Seed(uint32_t seed);
  void SetIdentity();
  std::vector<uint8_t> Answer(const std::vector<uint8_t>& request, bool& silent, bool& bad_crc);

  mutable std::mutex mutex_;
  NvOptions options_;
  std::vector<std::vector<NvBytes>> items_;
  std::vector<SimNvWrite> writes_;
  int32_t bad_crc_left_ = 0;
};

}  // namespace sim
