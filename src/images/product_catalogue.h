// The product catalogue "vek.cfg": which image subfolder belongs to which
// hardware variant, by the product id pairs (M, D) the module reports. Each
// line is one product; fields end at "," or ";":
//   name, number, folder, M id, D id, M id, D id, ...
// The file is untrusted: over-long fields are cut, surplus pairs and lines are
// ignored, and nothing in it can make a path longer than the image folder field.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "records/job_records.h"

namespace vek {

inline constexpr int MAX_PRODUCTS = 15;
inline constexpr int kMaxIdPairs = 10;
inline constexpr size_t kProductTextLength = 11;  // name and folder
inline constexpr size_t kProductNumberLength = 9;  // number and each id

struct ProductRecord {
  char name[kProductTextLength + 1] = {};
  int32_t number = 0;
  char folder[kProductTextLength + 1] = {};
  uint32_t m_ids[kMaxIdPairs] = {};
  uint32_t d_ids[kMaxIdPairs] = {};
};

struct ProductCatalogue {
  ProductRecord records[MAX_PRODUCTS] = {};
  int count = 0;
};

inline constexpr char kProductCatalogueFile[] = "vek.cfg";

// Reads the catalogue (by default "vek.cfg" in the working directory),
// replacing what was read before. False, and an empty catalogue, when the file
// cannot be opened.
bool LoadProductCatalogue(const std::string& path = kProductCatalogueFile);

// A copy of the catalogue as read.
ProductCatalogue TheProductCatalogue();

// Hexadecimal digits of either case, blanks skipped; the first other character,
// or a digit that would overflow 32 bits, ends the value.
uint32_t ParseHexId(std::string_view text);

// Narrows the job's image folder to the product's subfolder and shows its name
// in the flash label (an empty label when the platform has no product
// subfolders or the ids match nothing). Modules without ids get the first
// record's folder, or the second's when their software version holds "_HY".
// Always true.
bool ChooseProductFolder(UpgradeJob& job);

}  // namespace vek
