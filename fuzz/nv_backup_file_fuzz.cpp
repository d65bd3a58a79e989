// "backup.nvb" as a restore finds it: any length, any bytes. The reader splits
// it into 131-byte records; each whole record is framed as the NV write that
// carries it back into the module, and the frame must arrive intact. The
// identity texts a copy of the backup is named after come from the module's
// bytes and are checked the same way.
#include <cstring>

#include "fuzz_support.h"
#include "link/hdlc_frame.h"
#include "nv/nv_backup_file.h"
#include "nv/nv_exchange.h"
#include "nv/nv_identity.h"
#include "nv/nv_pending_restore.h"
#include "pipe_port.h"

namespace {

// The frame of one NV write request, read back by the receiver.
void CheckWriteFrame(const uint8_t* record) {
  uint8_t request[vek::kNvRequestLength] = {};
  std::memcpy(request, record, vek::kNvRecordLength);
  uint8_t frame[vek::kNvFrameCapacity];
  const int length = vek::EncodeNvFrame(request, vek::kNvRequestLength, frame);
  VEK_FUZZ_REQUIRE(length > vek::kNvRequestLength && length <= vek::kNvFrameCapacity);
  vek::fuzz::PipePort& port = vek::fuzz::PipePort::Installed();
  port.Discard();
  vek::PurgeDiagPort(vek::kPurgeReceive);
  port.Write(frame, static_cast<size_t>(length));
  VEK_FUZZ_REQUIRE(vek::ReceiveFrame());
  VEK_FUZZ_REQUIRE(vek::RxFrame.count == vek::kNvRequestLength + 2);
  VEK_FUZZ_REQUIRE(std::memcmp(vek::RxFrame.data, request, sizeof request) == 0);
  VEK_FUZZ_REQUIRE(vek::RxFrameCrcValid());
}

// A copy's name never leaves the working folder.
void CheckCopyName(const std::string& text) {
  const std::string name = vek::IdentityCopyName(text);
  if (name.empty()) return;
  VEK_FUZZ_REQUIRE(name.find('/') == std::string::npos && name.find("..") == std::string::npos);
  VEK_FUZZ_REQUIRE(name.size() <= vek::kIdentityTextMax + 4);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& path = vek::fuzz::WriteScratchFile(data, size);
  vek::BackupFileReader file;
  VEK_FUZZ_REQUIRE(file.Open(path));
  VEK_FUZZ_REQUIRE(file.length() == static_cast<int64_t>(size));

  uint8_t record[vek::kNvRecordLength];
  size_t total = 0;
  for (;;) {
    std::memset(record, 0, sizeof record);
    const int got = file.Next(record);
    VEK_FUZZ_REQUIRE(got >= 0 && got <= vek::kNvRecordLength);
    if (got == 0) break;
    VEK_FUZZ_REQUIRE(std::memcmp(record, data + total, static_cast<size_t>(got)) == 0);
    total += static_cast<size_t>(got);
    if (got < vek::kNvRecordLength) break;  // a cut-off last record is never sent
    CheckWriteFrame(record);
    const uint8_t* item = record + 3;
    const std::string imei = vek::ImeiText(item);
    VEK_FUZZ_REQUIRE(imei.size() <= 15);
    CheckCopyName(imei);
    const std::string meid = vek::MeidText(item);
    VEK_FUZZ_REQUIRE(meid.size() <= vek::kIdentityTextMax);
    CheckCopyName(meid);
  }
  VEK_FUZZ_REQUIRE(total == size);
  // The identity a restore note is kept under comes from the same bytes.
  for (const bool meid : {false, true}) CheckCopyName(vek::BackupIdentity(path, meid));
  return 0;
}
