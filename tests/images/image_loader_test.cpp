#include "images/image_loader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <span>
#include <string>

#include "images/image_fingerprint.h"
#include "images/image_set.h"
#include "images/platform_profile.h"
#include "images_test_support.h"
#include "sha256sum_tool.h"
#include "test_support.h"

namespace {

using vek::ImageSlot;

constexpr char kProgrammerText[] = ":0200000400807A\r\n:0400000001020304F2\r\n:00000001FF\r\n";

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }
std::vector<uint8_t> Loaded(ImageSlot slot) {
  const vek::ImageView view = vek::SlotData(slot);
  return view.data ? std::vector<uint8_t>(view.data, view.data + view.size) : std::vector<uint8_t>{};
}

// A folder holding the files of one platform (each file's content is its name,
// the programmer a small HEX text); the job points at it.
class ImageFolder : public vektest::WithShownTexts {
 protected:
  void SetUp() override {
    WithShownTexts::SetUp();
    vek::FreeImageSet();
    job_.image_path.Set(dir_.path());
  }
  void TearDown() override {
    vek::FreeImageSet();
    WithShownTexts::TearDown();
  }

  void Fill(uint32_t platform) {
    const vek::PlatformProfile& profile = *vek::ProfileOf(platform);
    for (ImageSlot slot : profile.files) {
      const std::string name = vek::SlotFileName(slot, profile);
      vektest::WriteFile(dir_.File(name), slot == ImageSlot::kProgrammer ? kProgrammerText : name);
    }
  }
  bool Check(uint32_t platform) {
    job_.platform = platform;
    return vek::CheckImageSet(job_);
  }
  bool Load(uint32_t platform) {
    job_.platform = platform;
    return vek::LoadImageSet(job_);
  }
  std::string LastStatus() const { return window_.Statuses().empty() ? "" : window_.Statuses().back(); }
  std::string LastBox() const { return window_.Boxes().empty() ? "" : window_.Boxes().back(); }

  vek::UpgradeJob& job_ = vek::TheJob();
  vektest::TempDir dir_;
};

TEST_F(ImageFolder, CheckFindsEveryFileOfThePlatformAndReportsTheFirstMissing) {
  Fill(vek::PLATFORM_6280);
  EXPECT_TRUE(Check(vek::PLATFORM_6280));
  EXPECT_TRUE(window_.Statuses().empty());
  EXPECT_FALSE(Check(vek::PLATFORM_6280_PBL));
  EXPECT_EQ(window_.Statuses(), std::vector<std::string>{"Lost pbl.mbn"});

  std::filesystem::remove(dir_.File("NPRG6280.hex"));
  std::filesystem::remove(dir_.File("amss.mbn"));
  EXPECT_FALSE(Check(vek::PLATFORM_6280));
  EXPECT_EQ(LastStatus(), "Lost NPRG6280.hex");  // only the first missing file
  EXPECT_EQ(window_.Statuses().size(), 2u);
}

TEST_F(ImageFolder, TheSixTwoSeventyProgrammerIsReportedInLowerCase) {
  Fill(vek::PLATFORM_6270);
  std::filesystem::remove(dir_.File("NPRG6270.hex"));
  EXPECT_FALSE(Check(vek::PLATFORM_6270));
  EXPECT_EQ(LastStatus(), "Lost nprg6270.hex");
  EXPECT_FALSE(Load(vek::PLATFORM_6270));
  EXPECT_EQ(LastBox(), "1|Error|no nprg6270.hex");
}

TEST_F(ImageFolder, NoPlatformChosenFailsTheCheckWithItsTextAndTheLoadSilently) {
  Fill(vek::PLATFORM_6280);
  EXPECT_FALSE(Check(vek::PLATFORM_NONE));
  EXPECT_EQ(LastStatus(), "Product is not choosed!");
  vek::StoreImageSlot(ImageSlot::kAmss, Bytes("left over"));
  EXPECT_FALSE(Load(vek::PLATFORM_NONE));
  EXPECT_TRUE(window_.Boxes().empty());
  EXPECT_TRUE(vek::ImageSetEmpty());
}

TEST_F(ImageFolder, LoadReadsEveryFileAndConvertsTheProgrammer) {
  Fill(vek::PLATFORM_6280_PBL);
  ASSERT_TRUE(Load(vek::PLATFORM_6280_PBL));
  EXPECT_TRUE(window_.Boxes().empty());
  EXPECT_EQ(Loaded(ImageSlot::kProgrammer), (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(Loaded(ImageSlot::kPbl), Bytes("pbl.mbn"));
  EXPECT_EQ(Loaded(ImageSlot::kAmsshd), Bytes("amsshd.mbn"));
  EXPECT_EQ(Loaded(ImageSlot::kPartition), Bytes("partition.mbn"));
  EXPECT_TRUE(Loaded(ImageSlot::kDbl).empty());
  vek::FreeImageSet();
  EXPECT_TRUE(vek::ImageSetEmpty());
}

TEST_F(ImageFolder, ALoadKeepsNothingFromAnEarlierPlatform) {
  Fill(vek::PLATFORM_6270);
  Fill(vek::PLATFORM_6280);
  ASSERT_TRUE(Load(vek::PLATFORM_6270));
  ASSERT_TRUE(Load(vek::PLATFORM_6280));
  EXPECT_TRUE(Loaded(ImageSlot::kDbl).empty());
  EXPECT_EQ(Loaded(ImageSlot::kQcsbl), Bytes("qcsbl.mbn"));
}

TEST_F(ImageFolder, AnEmptyProgrammerPassesTheCheckButFailsTheLoad) {
  for (uint32_t platform : {vek::PLATFORM_6280_PBL, vek::PLATFORM_6280}) {
    Fill(platform);
    vektest::WriteFile(dir_.File("NPRG6280.hex"), "");
    EXPECT_TRUE(Check(platform));
    EXPECT_FALSE(Load(platform));
    EXPECT_EQ(LastBox(), "1|Error|no NPRG6280.hex") << "platform " << platform;
    EXPECT_TRUE(vek::ImageSetEmpty());
  }
}

TEST_F(ImageFolder, AMissingImageHeaderFailsTheLoadOnEveryPlatformThatUsesIt) {
  for (uint32_t platform : {vek::PLATFORM_6280_PBL, vek::PLATFORM_6280, vek::PLATFORM_60X5}) {
    Fill(platform);
    std::filesystem::remove(dir_.File("amsshd.mbn"));
    EXPECT_FALSE(Load(platform));
    EXPECT_EQ(LastBox(), "1|Error|no amsshd.mbn") << "platform " << platform;
    EXPECT_TRUE(vek::ImageSetEmpty());
  }
  EXPECT_EQ(window_.Boxes().size(), 3u);
}

TEST_F(ImageFolder, AProgrammerThatDoesNotConvertFailsTheLoadWithoutABox) {
  Fill(vek::PLATFORM_6280);
  vektest::WriteFile(dir_.File("NPRG6280.hex"), ":0400000001G10304F2\r\n");
  EXPECT_FALSE(Load(vek::PLATFORM_6280));
  EXPECT_TRUE(window_.Boxes().empty());
  EXPECT_TRUE(vek::ImageSetEmpty());
  // A text without a single data byte is no programmer either.
  vektest::WriteFile(dir_.File("NPRG6280.hex"), ":00000001FF\r\n");
  EXPECT_FALSE(Load(vek::PLATFORM_6280));
  EXPECT_TRUE(vek::ImageSetEmpty());
}

TEST_F(ImageFolder, FilesThatMustFitOneRequestAreRefusedWhenLonger) {
  Fill(vek::PLATFORM_6280);
  vektest::WriteFile(dir_.File("partition.mbn"), std::string(2044, 'p'));
  vektest::WriteFile(dir_.File("oemsblhd.mbn"), std::string(2044, 'h'));
  ASSERT_TRUE(Load(vek::PLATFORM_6280));
  EXPECT_EQ(vek::SlotData(ImageSlot::kPartition).size, 2044);

  vektest::WriteFile(dir_.File("partition.mbn"), std::string(2045, 'p'));
  EXPECT_FALSE(Load(vek::PLATFORM_6280));
  EXPECT_EQ(LastBox(), "1|Error|partition.mbn is too large (2045 bytes; at most 2044)");
  EXPECT_TRUE(vek::ImageSetEmpty());

  vektest::WriteFile(dir_.File("partition.mbn"), "p");
  vektest::WriteFile(dir_.File("amsshd.mbn"), std::string(5000, 'h'));
  EXPECT_FALSE(Load(vek::PLATFORM_6280));
  EXPECT_EQ(LastBox(), "1|Error|amsshd.mbn is too large (5000 bytes; at most 2044)");
}

TEST_F(ImageFolder, AnImageBeyondThe32BitSizeIsRefusedWithoutReadingIt) {
  Fill(vek::PLATFORM_6280);
  // Sparse: no disk space and, if it were read, 2 GiB of memory.
  ASSERT_EQ(truncate(dir_.File("amss.mbn").c_str(), int64_t{1} << 31), 0);
  EXPECT_FALSE(Load(vek::PLATFORM_6280));
  EXPECT_EQ(LastBox(), "1|Error|amss.mbn is too large (2147483648 bytes; at most 2147483647)");
  EXPECT_TRUE(vek::ImageSetEmpty());
}

TEST_F(ImageFolder, SomethingOtherThanAFileNamedLikeAnImageIsMissing) {
  Fill(vek::PLATFORM_6280);
  std::filesystem::remove(dir_.File("amss.mbn"));
  std::filesystem::create_directory(dir_.File("amss.mbn"));
  EXPECT_FALSE(Check(vek::PLATFORM_6280));
  EXPECT_EQ(LastStatus(), "Lost amss.mbn");
  EXPECT_FALSE(Load(vek::PLATFORM_6280));
  EXPECT_EQ(LastBox(), "1|Error|no amss.mbn");

  // A pipe would block an ordinary open for ever.
  std::filesystem::remove(dir_.File("amss.mbn"));
  ASSERT_EQ(mkfifo(dir_.File("amss.mbn").c_str(), 0600), 0);
  EXPECT_FALSE(Load(vek::PLATFORM_6280));
  EXPECT_EQ(LastBox(), "1|Error|no amss.mbn");
  EXPECT_TRUE(vek::ImageSetEmpty());
}

TEST_F(ImageFolder, FilesAreFoundInTheImageFolderWithoutChangingTheWorkingDirectory) {
  const std::string before = vek::CurrentDirectory();
  ASSERT_NE(before, dir_.path());
  Fill(vek::PLATFORM_6280);
  EXPECT_TRUE(Check(vek::PLATFORM_6280));
  EXPECT_TRUE(Load(vek::PLATFORM_6280));
  EXPECT_EQ(vek::CurrentDirectory(), before);
  std::filesystem::remove(dir_.File("qcsbl.mbn"));
  EXPECT_FALSE(Check(vek::PLATFORM_6280));
  EXPECT_FALSE(Load(vek::PLATFORM_6280));
  EXPECT_EQ(vek::CurrentDirectory(), before);
  // A folder given with its trailing separator names the same files.
  job_.image_path.Set(dir_.path() + "/");
  EXPECT_EQ(vek::ImageFilePath(job_.image_path.Get(), "amss.mbn"), dir_.File("amss.mbn"));
}

std::vector<std::string> FileNamesOf(uint32_t platform) {
  const vek::PlatformProfile& profile = *vek::ProfileOf(platform);
  std::vector<std::string> names;
  for (ImageSlot slot : profile.files) names.push_back(vek::SlotFileName(slot, profile));
  return names;
}

std::string DigestLines(const vek::ImageSetFingerprint& fingerprint) {
  std::string lines;
  for (const auto& file : fingerprint.files) lines += vek::FileDigestLine(file) + "\n";
  return lines;
}

TEST_F(ImageFolder, TheFingerprintIsWhatSha256sumSaysOfTheFilesInLoadOrder) {
  Fill(vek::PLATFORM_6280);
  // Longer than one read, and not a whole number of reads.
  std::string amss(3 * 1024 * 1024 + 5, '\0');
  for (size_t i = 0; i < amss.size(); ++i) amss[i] = static_cast<char>(i * 7 + i / 4096);
  vektest::WriteFile(dir_.File("amss.mbn"), amss);
  ASSERT_TRUE(Load(vek::PLATFORM_6280));

  const vek::ImageSetFingerprint fingerprint = vek::LoadedImageSetFingerprint();
  const std::vector<std::string> names = FileNamesOf(vek::PLATFORM_6280);
  const std::string expected = vektest::Sha256sumLines(dir_.path(), names);
  ASSERT_EQ(std::count(expected.begin(), expected.end(), '\n'), static_cast<long>(names.size())) << expected;
  // The programmer's digest is its HEX text's, as the file holds it.
  EXPECT_EQ(DigestLines(fingerprint), expected);
  EXPECT_EQ(vek::SetDigestLine(fingerprint), "image set SHA-256: " + vektest::Sha256sumOfLines(dir_.path(), names));

  vek::FreeImageSet();
  EXPECT_TRUE(vek::LoadedImageSetFingerprint().files.empty());
}

TEST_F(ImageFolder, OneChangedByteChangesThatFilesDigestAndTheSetsAndNothingElse) {
  Fill(vek::PLATFORM_6280);
  ASSERT_TRUE(Load(vek::PLATFORM_6280));
  const vek::ImageSetFingerprint before = vek::LoadedImageSetFingerprint();
  vektest::WriteFile(dir_.File("oemsbl.mbn"), "oemsbl.mbN");
  ASSERT_TRUE(Load(vek::PLATFORM_6280));
  const vek::ImageSetFingerprint after = vek::LoadedImageSetFingerprint();

  ASSERT_EQ(after.files.size(), before.files.size());
  for (size_t i = 0; i < after.files.size(); ++i) {
    EXPECT_EQ(after.files[i].name, before.files[i].name);
    EXPECT_EQ(after.files[i].sha256 != before.files[i].sha256, after.files[i].name == "oemsbl.mbn")
        << after.files[i].name;
  }
  EXPECT_NE(after.set_sha256, before.set_sha256);
}

TEST(Sha256Hasher, GivesTheKnownDigestsFedWholeOrInPieces) {
  const auto bytes = [](const char* text) { return std::span(reinterpret_cast<const uint8_t*>(text), std::strlen(text)); };
  vek::Sha256Hasher whole, pieces, nothing;
  whole.Update(bytes("abc"));
  pieces.Update(bytes("a"));
  pieces.Update(bytes(""));
  pieces.Update(bytes("bc"));
  const std::string abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
  EXPECT_EQ(vek::HexOf(whole.Finish()), abc);
  EXPECT_EQ(vek::HexOf(pieces.Finish()), abc);
  EXPECT_EQ(vek::HexOf(nothing.Finish()), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_TRUE(whole.ok() && pieces.ok() && nothing.ok());
}

TEST(ReadWholeFile, ReadsEveryByteAndRefusesALongerFileBeforeAllocating) {
  vektest::TempDir dir;
  vektest::WriteFile(dir.File("data"), std::string("\x00\x01\xFF", 3));
  vek::WholeFile file = vek::ReadWholeFile(dir.File("data"));
  EXPECT_EQ(file.failure, vek::ReadFailure::kNone);
  EXPECT_EQ(file.bytes, (std::vector<uint8_t>{0x00, 0x01, 0xFF}));
  file = vek::ReadWholeFile(dir.File("data"), 2);
  EXPECT_EQ(file.failure, vek::ReadFailure::kTooLarge);
  EXPECT_EQ(file.file_size, 3);
  EXPECT_TRUE(file.bytes.empty());
}

}  // namespace
