#include "images/product_catalogue.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "images_test_support.h"
#include "test_support.h"

namespace {

using vek::ProductCatalogue;

ProductCatalogue Read(const std::string& content) {
  vektest::TempDir dir;
  vektest::WriteFile(dir.File("vek.cfg"), content);
  EXPECT_TRUE(vek::LoadProductCatalogue(dir.File("vek.cfg")));
  return vek::TheProductCatalogue();
}

TEST(ProductCatalogue, ReadsNameNumberFolderAndIdPairsFromEitherDelimiter) {
  const ProductCatalogue catalogue = Read("ModelA,1,NAND01,1A,2B;1A,2D;\r\n B , -42x,F2,ff,10,\n");
  ASSERT_EQ(catalogue.count, 2);
  const vek::ProductRecord& a = catalogue.records[0];
  EXPECT_STREQ(a.name, "ModelA");
  EXPECT_EQ(a.number, 1);
  EXPECT_STREQ(a.folder, "NAND01");
  EXPECT_EQ(a.m_ids[0], 0x1Au);
  EXPECT_EQ(a.d_ids[0], 0x2Bu);
  EXPECT_EQ(a.m_ids[1], 0x1Au);
  EXPECT_EQ(a.d_ids[1], 0x2Du);
  EXPECT_EQ(a.m_ids[2], 0u);
  const vek::ProductRecord& b = catalogue.records[1];
  EXPECT_STREQ(b.name, " B ");
  EXPECT_EQ(b.number, -42);
  EXPECT_EQ(b.m_ids[0], 0xFFu);
  EXPECT_EQ(b.d_ids[0], 0x10u);
}

TEST(ProductCatalogue, TheTextAfterALinesLastDelimiterIsIgnored) {
  ProductCatalogue catalogue = Read("A,0,F1,1A,2B");
  ASSERT_EQ(catalogue.count, 1);
  EXPECT_EQ(catalogue.records[0].m_ids[0], 0x1Au);
  EXPECT_EQ(catalogue.records[0].d_ids[0], 0u);
  catalogue = Read("A,0,F1\r\n");
  EXPECT_STREQ(catalogue.records[0].name, "A");
  EXPECT_STREQ(catalogue.records[0].folder, "");
}

TEST(ProductCatalogue, EveryLineMakesARecordAnEmptyOneIncluded) {
  const ProductCatalogue catalogue = Read("A,0,F1,1,2,\n\nC,0,F3,\n");
  ASSERT_EQ(catalogue.count, 3);
  const vek::ProductRecord zero{};
  EXPECT_EQ(std::memcmp(&catalogue.records[1], &zero, sizeof zero), 0);
  EXPECT_STREQ(catalogue.records[2].folder, "F3");
}

TEST(ProductCatalogue, LimitsHoldForLongFieldsManyPairsAndManyLines) {
  std::string line = std::string(30, 'N') + ",1234567890123," + std::string(20, 'F') + ",123456789A,FFFFFFFFF,";
  for (int k = 1; k < 12; ++k) line += std::to_string(k) + "," + std::to_string(k) + ",";
  std::string content = line + "\n";
  for (int i = 1; i < 20; ++i) content += "P" + std::to_string(i) + ",0,F" + std::to_string(i) + ",\n";
  const ProductCatalogue catalogue = Read(content);
  ASSERT_EQ(catalogue.count, vek::MAX_PRODUCTS);
  const vek::ProductRecord& first = catalogue.records[0];
  EXPECT_EQ(std::string(first.name), std::string(11, 'N'));
  EXPECT_EQ(first.number, 123456789);
  EXPECT_EQ(std::string(first.folder), std::string(11, 'F'));
  EXPECT_EQ(first.m_ids[0], 0x12345678u);  // nine characters, the ninth would overflow
  EXPECT_EQ(first.d_ids[0], 0xFFFFFFFFu);
  EXPECT_EQ(first.m_ids[9], 9u);  // the tenth pair is the last
  EXPECT_EQ(first.d_ids[9], 9u);
  EXPECT_STREQ(catalogue.records[14].folder, "F14");
}

TEST(ProductCatalogue, HostileContentNeverBreaksTheReader) {
  std::string content(3 << 20, 'x');  // one line of 3 MiB without a delimiter
  content += "\n";
  constexpr char kBinary[] = "\0\0,\xFF\xFE,\0F,\x80,,;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;\r\r\n";
  content += std::string(kBinary, sizeof kBinary - 1);
  content += std::string(5000, ',') + "\n";
  const ProductCatalogue catalogue = Read(content);
  ASSERT_EQ(catalogue.count, 3);
  EXPECT_STREQ(catalogue.records[0].name, "");
  EXPECT_STREQ(catalogue.records[1].folder, "");  // cut at its NUL
  EXPECT_STREQ(catalogue.records[1].name, "");
}

TEST(ProductCatalogue, AMissingFileLeavesTheCatalogueEmpty) {
  Read("A,0,F1,1,2,\n");
  EXPECT_FALSE(vek::LoadProductCatalogue("/nonexistent/vek.cfg"));
  EXPECT_EQ(vek::TheProductCatalogue().count, 0);
}

TEST(ParseHexId, StopsAtTheFirstNonDigitOrBeforeAnOverflow) {
  EXPECT_EQ(vek::ParseHexId(""), 0u);
  EXPECT_EQ(vek::ParseHexId("1G"), 1u);
  EXPECT_EQ(vek::ParseHexId(" 1a"), 0x1Au);
  EXPECT_EQ(vek::ParseHexId("1 2"), 0x12u);
  EXPECT_EQ(vek::ParseHexId("-1"), 0u);
  EXPECT_EQ(vek::ParseHexId("deadBEEF"), 0xDEADBEEFu);
  EXPECT_EQ(vek::ParseHexId("100000000"), 0x10000000u);
  EXPECT_EQ(vek::ParseHexId("FFFFFFFFFFFF"), 0xFFFFFFFFu);
}

// An image folder with subfolders, a catalogue, and a connected module.
class ProductFolder : public vektest::WithShownTexts {
 protected:
  void SetUp() override {
    WithShownTexts::SetUp();
    job_.image_path.Set(dir_.path());
    device_.ids_valid = 0;
    device_.product_m = 0;
    device_.product_d = 0;
    device_.sw_version.Clear();
  }
  void TearDown() override {
    vek::LoadProductCatalogue("/nonexistent/vek.cfg");
    WithShownTexts::TearDown();
  }
  void Catalogue(const std::string& content) { Read(content); }
  void Folder(const std::string& name) { std::filesystem::create_directories(dir_.File(name)); }
  void ModuleWithIds(int32_t m, int32_t d) {
    device_.product_m = m;
    device_.product_d = d;
    device_.ids_valid = 1;
  }
  void Choose(uint32_t platform) {
    job_.platform = platform;
    EXPECT_TRUE(vek::ChooseProductFolder(job_));
  }

  vek::UpgradeJob& job_ = vek::TheJob();
  vek::DeviceInfo& device_ = vek::TheDevice();
  vektest::TempDir dir_;
};

TEST_F(ProductFolder, AModulesIdsChooseTheSubfolderOnPlatformsWithSubfolders) {
  Catalogue("A,0,F1,1A,2B,\n");
  Folder("F1");
  ModuleWithIds(26, 43);
  Choose(vek::PLATFORM_6270);
  EXPECT_EQ(job_.image_path.Get(), dir_.File("F1"));
  EXPECT_EQ(window_.Flashes(), std::vector<std::string>{"F1"});
  EXPECT_EQ(device_.ids_valid, 0);
  // A later check of the same connection leaves the folder alone.
  Choose(vek::PLATFORM_6270);
  EXPECT_EQ(job_.image_path.Get(), dir_.File("F1"));
  EXPECT_EQ(window_.Flashes().size(), 1u);
}

TEST_F(ProductFolder, OtherPlatformsGetAnEmptyLabelAndTheFolderUnchanged) {
  Catalogue("A,0,F1,1A,2B,\n");
  Folder("F1");
  for (uint32_t platform : {vek::PLATFORM_6280_PBL, vek::PLATFORM_60X5, vek::PLATFORM_NONE}) {
    ModuleWithIds(26, 43);
    Choose(platform);
    EXPECT_EQ(job_.image_path.Get(), dir_.path());
    EXPECT_EQ(window_.Flashes().back(), "");
    EXPECT_EQ(device_.ids_valid, 1);
  }
}

TEST_F(ProductFolder, IdsMatchOnlyAsAPairAndTheEarlierRecordWins) {
  Catalogue("A,0,FA,1,2,\nB,0,FB,1,3,5,6,\nC,0,FC,5,6,\n");
  Folder("FB");
  Folder("FC");
  ModuleWithIds(1, 6);  // M of one pair, D of another
  Choose(vek::PLATFORM_6280);
  EXPECT_EQ(window_.Flashes().back(), "");
  EXPECT_EQ(device_.ids_valid, 1);
  EXPECT_EQ(job_.image_path.Get(), dir_.path());

  ModuleWithIds(5, 6);
  Choose(vek::PLATFORM_6280);
  EXPECT_EQ(window_.Flashes().back(), "FB");
  EXPECT_EQ(job_.image_path.Get(), dir_.File("FB"));
}

TEST_F(ProductFolder, AMissingSubfolderLeavesTheFolderButShowsTheName) {
  Catalogue("A,0,F1,1A,2B,\n");
  ModuleWithIds(26, 43);
  Choose(vek::PLATFORM_6280);
  EXPECT_EQ(job_.image_path.Get(), dir_.path());
  EXPECT_EQ(window_.Flashes().back(), "F1");
  EXPECT_EQ(device_.ids_valid, 0);
}

TEST_F(ProductFolder, AModuleWithoutIdsGetsTheFirstOrTheHyRecord) {
  Catalogue("A,0,F1,\nB,0,F2,\n");
  Folder("F1");
  Folder("F2");
  device_.sw_version.Set("M6280_HY_01");
  Choose(vek::PLATFORM_6280);
  EXPECT_EQ(job_.image_path.Get(), dir_.File("F2"));
  EXPECT_EQ(window_.Flashes().back(), "F2");

  job_.image_path.Set(dir_.path());
  device_.sw_version.Set("M6280_HX_01");
  Choose(vek::PLATFORM_6270);
  EXPECT_EQ(job_.image_path.Get(), dir_.File("F1"));
  EXPECT_EQ(window_.Flashes().back(), "F1");

  // Ids that were used already: nothing more to choose.
  job_.image_path.Set(dir_.path());
  device_.product_m = 7;
  Choose(vek::PLATFORM_6270);
  EXPECT_EQ(job_.image_path.Get(), dir_.path());
  EXPECT_EQ(window_.Flashes().size(), 2u);
}

TEST_F(ProductFolder, AnEmptyRecordAppendsOnlyASeparator) {
  Catalogue("A,0,F1,\n\n");
  device_.sw_version.Set("X_HY");
  Choose(vek::PLATFORM_6280);
  EXPECT_EQ(job_.image_path.Get(), dir_.path() + "/");
  EXPECT_EQ(window_.Flashes().back(), "");
}

TEST_F(ProductFolder, TheFolderNeverGrowsPastItsFieldNorLeavesTheImageFolder) {
  // A path of 250 characters: with "/F1234567890" it would need 262.
  const std::string deep = std::string(250 - dir_.path().size() - 1, 'd');
  Folder(deep + "/F1234567890");
  job_.image_path.Set(dir_.File(deep));
  ASSERT_EQ(job_.image_path.Get().size(), 250u);
  Catalogue("A,0,F1234567890,1,1,\nB,0,..,2,2,\nC,0,x/y,3,3,\n");
  ModuleWithIds(1, 1);
  Choose(vek::PLATFORM_6280);
  EXPECT_EQ(job_.image_path.Get(), dir_.File(deep));
  EXPECT_EQ(window_.Flashes().back(), "F1234567890");

  Folder("x/y");
  job_.image_path.Set(dir_.path());
  for (int id : {2, 3}) {
    ModuleWithIds(id, id);
    Choose(vek::PLATFORM_6280);
    EXPECT_EQ(job_.image_path.Get(), dir_.path()) << "id " << id;
  }
}

}  // namespace
