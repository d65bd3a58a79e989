#include "nv/nv_item_table.h"

#include <gtest/gtest.h>

namespace {

using vek::NvItemTable;

TEST(NvItemTable, HoldsTheBackedUpItemsAndArrays) {
  int enabled = 0, arrays = 0, reads = 0, array_elements = 0;
  for (const auto& entry : NvItemTable) {
    enabled += entry.enabled;
    if (entry.count > 0) {
      ++arrays;
      array_elements += entry.count;
      EXPECT_EQ(entry.enabled, 1) << "every array item is backed up";
    }
    if (entry.enabled) reads += entry.count == 0 ? 1 : entry.count + 1;
  }
  EXPECT_EQ(NvItemTable.size(), 7158u);
  EXPECT_EQ(enabled, 7025);
  EXPECT_EQ(arrays, 111);
  EXPECT_EQ(array_elements, 1037);
  EXPECT_EQ(reads, 8062);
}

TEST(NvItemTable, SampleIds) {
  for (int id : {22, 23, 28, 96, 106, 1656, 1665, 1938, 1939, 3055, 3058, 4550})
    EXPECT_EQ(NvItemTable[id].enabled, 0) << id;
  for (int id : {0, 21, 24, 95, 107, 550, 1943, 4549, 4551, 7157}) EXPECT_EQ(NvItemTable[id].enabled, 1) << id;
  const std::pair<int, int> counts[] = {{0, 0},     {10, 2},    {21, 2},    {57, 110}, {58, 20},
                                        {218, 1},   {315, 35},  {373, 128}, {721, 128}, {1014, 200},
                                        {1806, 3},  {5283, 9},  {6429, 2},  {7156, 17}, {7157, 0}};
  for (auto [id, count] : counts) EXPECT_EQ(NvItemTable[id].count, count) << id;
}

}  // namespace
