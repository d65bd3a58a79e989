#include <filesystem>

#include "nv/nv_backup.h"
#include "nv/nv_history.h"
#include "nv_job_fixture.h"

namespace {

using nvtest::Bytes;
using nvtest::NvJob;
using nvtest::ReadFile;
using nvtest::Reports;
using nvtest::WriteFile;
namespace fs = std::filesystem;

Bytes Record(uint16_t item, uint8_t fill) {
  Bytes record(131, fill);
  record[0] = 0x26;
  record[1] = static_cast<uint8_t>(item);
  record[2] = static_cast<uint8_t>(item >> 8);
  record[3] = 0x7E;  // travels escaped
  return record;
}

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// The write request the module must see for a record.
Bytes WriteRequestOf(const Bytes& record) {
  Bytes request = record;
  request[0] = 0x27;
  request.resize(133, 0);
  return request;
}

TEST_F(NvJob, RestoreWritesEachWholeRecordAndSkipsACutOffOne) {
  StartModule();
  const Bytes first = Record(700, 0x11), second = Record(701, 0x22);
  for (const size_t length : {262u, 300u}) {
    SCOPED_TRACE(length);
    Bytes file = Join({first, second, Record(702, 0x33)});
    file.resize(length);
    WriteFile("backup.nvb", file);
    module_->ClearRequests();
    Reports().Clear();
    ASSERT_EQ(vek::RestoreNv(job()), 2);
    std::vector<Bytes> writes;
    for (const auto& request : module_->Requests())
      if (request.packet[0] == 0x27) writes.push_back(request.packet);
    EXPECT_EQ(writes, (std::vector<Bytes>{WriteRequestOf(first), WriteRequestOf(second)}));
    EXPECT_EQ(Reports().Logged("restore NV: last record holds 38 of 131 bytes (skipped)"), length == 300);
    EXPECT_EQ(Reports().progress.back(), (std::pair<uint32_t, int32_t>(262, static_cast<int32_t>(length))));
  }
  EXPECT_EQ(Store().Element(701, 0)[0], 0x7E);
  EXPECT_EQ(Store().Element(701, 0)[1], 0x22);
  EXPECT_EQ(Store().Element(702, 0), sim::SimNvStore().Element(702, 0)) << "the cut-off record never reached the module";
}

TEST_F(NvJob, ARestoreThatWroteNothingFails) {
  // A module that came back locked refuses every write with 0x42.
  sim::NvOptions nv;
  nv.write_refusal = 0x42;
  StartModule(nv);
  WriteFile("backup.nvb", Join({Record(700, 1), Record(5, 2), Record(7000, 3)}));
  EXPECT_EQ(vek::RestoreNv(job()), vek::kNvNothingWritten);
  EXPECT_EQ(Reports().LogCount("restore NV:"), 3);
  for (const char* line : {"restore NV:700 (ignored)", "restore NV:5 (ignored)", "restore NV:7000 (ignored)"})
    EXPECT_TRUE(Reports().Logged(line)) << line;
  EXPECT_TRUE(Reports().Shown("restore NVB: 3 of 3 records refused"));
  EXPECT_TRUE(Reports().Logged("restore NVB: 3 of 3 records refused"));
  EXPECT_FALSE(Reports().Shown("restore backup.nvb successful!"));
  EXPECT_FALSE(fs::exists("394103254769810.nvb")) << "a failed restore names no copy";
  EXPECT_TRUE(Store().Writes().empty());

  // A backup without a whole record has nothing to give back either.
  for (const size_t length : {0u, 100u}) {
    SCOPED_TRACE(length);
    Reports().Clear();
    Store().SetWriteRefusal(0);
    Bytes file = Record(700, 1);
    file.resize(length);
    WriteFile("backup.nvb", file);
    EXPECT_EQ(vek::RestoreNv(job()), vek::kNvNothingWritten);
    EXPECT_TRUE(Reports().Shown("restore NVB: backup.nvb holds no records"));
    EXPECT_TRUE(Reports().Logged("restore NVB: backup.nvb holds no records"));
    EXPECT_TRUE(Store().Writes().empty());
  }
}

TEST_F(NvJob, AnUnexpectedWriteReplyIsShownAndIgnored) {
  StartModule();
  // The same other code each time the write is sent.
  module_->faults().Add({sim::SimState::kFirmware, 0x27, sim::FaultKind::kRefuse, 0x15, 3});
  WriteFile("backup.nvb", Join({Record(700, 1), Record(701, 2)}));
  ASSERT_EQ(vek::RestoreNv(job()), 2);
  EXPECT_TRUE(Reports().Shown("restore NVB:NV 700 restore failed \r\n"));
  EXPECT_TRUE(Reports().Logged("restore NV:700 (ignored)"));
  EXPECT_EQ(Reports().LogCount("restore NV:"), 1);
  // Some written, some not: the restore holds, and says how many were not.
  EXPECT_TRUE(Reports().Shown("restore NVB: 1 of 2 records refused"));
  EXPECT_TRUE(Reports().Logged("restore NVB: 1 of 2 records refused"));
  EXPECT_TRUE(Reports().Shown("restore backup.nvb successful!"));
}

TEST_F(NvJob, AnEarlierIdentityCopyIsKeptInTheHistory) {
  StartModule();
  const Bytes first = Record(700, 1), second = Record(700, 2);
  WriteFile("backup.nvb", first);
  ASSERT_EQ(vek::RestoreNv(job()), 2);
  EXPECT_FALSE(fs::exists("nv-history"));
  WriteFile("backup.nvb", second);
  Reports().Clear();
  ASSERT_EQ(vek::RestoreNv(job()), 2);
  EXPECT_EQ(ReadFile("394103254769810.nvb"), second);
  const auto kept = vek::KeptCopies(".", "394103254769810.nvb");
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(ReadFile("nv-history/" + kept[0]), first);
  EXPECT_TRUE(Reports().Logged("earlier 394103254769810.nvb kept as nv-history/" + kept[0]));
  EXPECT_FALSE(fs::exists("394103254769810.nvb.part"));
}

TEST_F(NvJob, ARestoreWithoutABackupFileSaysSo) {
  EXPECT_EQ(vek::RestoreNv(job()), 0);
  fs::create_directory("backup.nvb");  // not a file either
  EXPECT_EQ(vek::RestoreNv(job()), 0);
  ASSERT_EQ(Reports().messages.size(), 2u);
  EXPECT_EQ(Reports().messages[0], (std::pair<std::string, std::string>("can't open backup.nvb!!!", "error!")));
  EXPECT_TRUE(Reports().Logged("can't open backup.nvb!!!"));
}

TEST_F(NvJob, AGarbledBackupFileIsSentRecordByRecordWithoutHarm) {
  StartModule();
  Bytes garbage(131 * 6 + 17);
  uint32_t x = 12345;
  for (auto& b : garbage) b = static_cast<uint8_t>((x = x * 1103515245 + 12345) >> 16);
  garbage[1] = 0xFF;  // item 65535: beyond the module's items
  garbage[2] = 0xFF;
  WriteFile("backup.nvb", garbage);
  EXPECT_EQ(vek::RestoreNv(job()), 2);
  EXPECT_TRUE(Reports().Logged("restore NV:65535 (ignored)"));
  EXPECT_TRUE(Reports().Logged("restore NV: last record holds 17 of 131 bytes (skipped)"));
}

TEST_F(NvJob, AWriteWithoutReplyEndsTheRestore) {
  sim::NvOptions nv;
  nv.silent_from_item = 0;
  StartModule(nv);
  WriteFile("backup.nvb", Join({Record(700, 1), Record(701, 2)}));
  EXPECT_EQ(vek::RestoreNv(job()), 1);
  EXPECT_TRUE(Reports().Logged("Error: NV_WRITE_F timeout!\r\n"));
  EXPECT_TRUE(Reports().Shown("restore backup.nvb failed!"));
  EXPECT_EQ(module_->Requests().size(), 3u) << "the write and the two times it is sent again";
}

TEST_F(NvJob, TheMeidNamesTheCopyOnTheMeidPlatform) {
  StartModule();
  job().platform = vek::PLATFORM_60X5;
  const Bytes backup = Record(700, 1);
  WriteFile("backup.nvb", backup);
  ASSERT_EQ(vek::RestoreNv(job()), 2);
  EXPECT_EQ(RequestsFor(0x26, 1943).size(), 1u);
  EXPECT_TRUE(Reports().Shown("restore finished! MEID : 0078563412\r\n"));
  EXPECT_TRUE(Reports().Logged("0078563412.nvb"));
  EXPECT_EQ(ReadFile("0078563412.nvb"), backup);
  EXPECT_EQ(ReadFile("backup.nvb"), backup);
}

TEST_F(NvJob, AnEmptyImeiMakesNoCopy) {
  sim::NvOptions nv;
  nv.imei_item = {0x00, 0x3A, 0x49};
  StartModule(nv);
  WriteFile("backup.nvb", Record(700, 1));
  ASSERT_EQ(vek::RestoreNv(job()), 2);
  EXPECT_TRUE(Reports().Shown("restore finished! IMEI : \r\n"));
  int files = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(".")) ++files;
  EXPECT_EQ(files, 1);
}

}  // namespace
