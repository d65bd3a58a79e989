#include "nv/nv_item_table.h"

namespace vek {
namespace {

struct IdRange {
  uint16_t first;
  uint16_t last;
};

struct ArrayRange {
  uint16_t first;
  uint16_t last;
  uint16_t count;
};

// Items the backup leaves alone.
constexpr IdRange kNotBackedUp[] = {
    {22, 23},     {28, 28},     {30, 30},     {41, 41},     {60, 61},     {88, 89},     {94, 94},
    {96, 106},    {115, 117},   {131, 131},   {147, 147},   {160, 160},   {167, 167},   {172, 175},
    {180, 183},   {185, 189},   {201, 201},   {205, 205},   {208, 208},   {214, 214},   {216, 217},
    {224, 224},   {234, 236},   {238, 239},   {244, 244},   {252, 254},   {257, 257},   {271, 274},
    {276, 283},   {288, 289},   {294, 295},   {302, 302},   {316, 316},   {359, 366},   {456, 458},
    {560, 561},   {575, 576},   {578, 578},   {582, 582},   {711, 711},   {918, 918},   {1350, 1350},
    {1390, 1390}, {1468, 1468}, {1546, 1546}, {1556, 1556}, {1625, 1625}, {1656, 1665}, {1688, 1688},
    {1714, 1714}, {1793, 1793}, {1804, 1804}, {1851, 1859}, {1928, 1928}, {1938, 1939}, {3055, 3058},
    {3757, 3757}, {4550, 4550},
};

// Items held as arrays, with the count of each.
constexpr ArrayRange kArrays[] = {
    {218, 218, 1},
    {10, 21, 2},      {24, 27, 2},      {29, 29, 2},      {31, 39, 2},      {43, 43, 2},      {51, 55, 2},
    {168, 169, 2},    {176, 178, 2},    {209, 213, 2},    {215, 215, 2},    {231, 231, 2},    {242, 242, 2},
    {255, 256, 2},    {258, 266, 2},    {285, 285, 2},    {299, 299, 2},    {441, 442, 2},    {451, 451, 2},
    {581, 581, 2},    {921, 922, 2},    {945, 946, 2},    {1958, 1958, 2},  {2000, 2000, 2},  {2003, 2003, 2},
    {3432, 3439, 2},  {4259, 4259, 2},  {6429, 6429, 2},
    {1806, 1806, 3},  {2954, 2954, 3},
    {848, 850, 4},    {1206, 1206, 4},
    {303, 303, 6},    {465, 466, 6},    {494, 494, 6},    {854, 854, 6},    {889, 889, 6},    {2825, 2825, 6},
    {267, 267, 9},    {5281, 5283, 9},
    {3534, 3534, 17}, {5451, 5451, 17}, {5454, 5455, 17}, {7156, 7156, 17},
    {58, 58, 20},     {87, 87, 20},     {847, 847, 20},
    {307, 307, 32},
    {315, 315, 35},
    {57, 57, 110},
    {373, 373, 128},  {721, 721, 128},
    {1014, 1014, 200},
};

constexpr std::array<NvItemEntry, kNvItemCount> BuildTable() {
  std::array<NvItemEntry, kNvItemCount> table{};
  for (const IdRange& range : kNotBackedUp)
    for (int id = range.first; id <= range.last; ++id) table[id].enabled = 0;
  for (const ArrayRange& range : kArrays)
    for (int id = range.first; id <= range.last; ++id) table[id].count = range.count;
  return table;
}

}  // namespace

// Built by the compiler: the table is constant data of the program.
constinit const std::array<NvItemEntry, kNvItemCount> NvItemTable = BuildTable();

}  // namespace vek
