#include "images/product_catalogue.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>

#include "images/platform_profile.h"
#include "records/reporting.h"

namespace vek {
namespace {

constexpr char kHyVersionMark[] = "_HY";
constexpr int kFirstIdField = 4;
constexpr int kLastIdField = kFirstIdField + 2 * kMaxIdPairs - 1;

// Filled at start-up, read by the device-connect task.
std::mutex catalogue_mutex;
ProductCatalogue the_catalogue;

bool IsDelimiter(char c) { return c == ',' || c == ';'; }
bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

void CopyText(std::string_view field, char (&out)[kProductTextLength + 1]) {
  field = field.substr(0, std::min(field.size(), kProductTextLength));
  field = field.substr(0, std::min(field.size(), field.find('\0')));
  std::memset(out, 0, sizeof out);
  std::memcpy(out, field.data(), field.size());
}

// Leading blanks, an optional sign, then decimal digits; 0 without digits.
int32_t ParseDecimal(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > INT32_MAX) break;  // never reached with nine characters
  }
  value = std::min<int64_t>(value, INT32_MAX);
  return static_cast<int32_t>(negative ? -value : value);
}

// Fills one record from one line, character by character, so that a line of
// any length costs no more than one field's first characters.
class LineReader {
 public:
  explicit LineReader(ProductRecord& record) : record_(record) {}

  void Take(char c) {
    if (IsDelimiter(c)) {
      EndField();
    } else if (field_.size() < kProductTextLength) {
      field_.push_back(c);
    }
  }

 private:
  void EndField() {
    const std::string_view number(field_.data(), std::min(field_.size(), kProductNumberLength));
    if (field_number_ == 1) CopyText(field_, record_.name);
    else if (field_number_ == 2) record_.number = ParseDecimal(number);
    else if (field_number_ == 3) CopyText(field_, record_.folder);
    else if (field_number_ <= kLastIdField && field_number_ % 2 == 0) record_.m_ids[m_count_++] = ParseHexId(number);
    else if (field_number_ <= kLastIdField) record_.d_ids[d_count_++] = ParseHexId(number);
    if (field_number_ <= kLastIdField) ++field_number_;
    field_.clear();
  }

  ProductRecord& record_;
  std::string field_;
  int field_number_ = 1;
  int m_count_ = 0;
  int d_count_ = 0;
};

void ReadCatalogue(std::FILE* file, ProductCatalogue& catalogue) {
  std::optional<LineReader> line;
  char chunk[4096];
  size_t n;
  while (catalogue.count < MAX_PRODUCTS && (n = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
    for (size_t i = 0; i < n && catalogue.count < MAX_PRODUCTS; ++i) {
      if (!line) line.emplace(catalogue.records[catalogue.count]);
      // The text after a line's last delimiter (a CR before the LF included) is never stored.
      if (chunk[i] == '\n') {
        line.reset();
        ++catalogue.count;
      } else {
        line->Take(chunk[i]);
      }
    }
  }
  if (line && catalogue.count < MAX_PRODUCTS) ++catalogue.count;  // a last line without LF
}

bool NamesASubfolder(const char* folder) {
  return std::strchr(folder, '/') == nullptr && std::strcmp(folder, "..") != 0;
}

// Appends "/<folder>" to the image folder when that path exists and fits the field.
void AppendSubfolder(UpgradeJob& job, const char* folder) {
  if (!NamesASubfolder(folder)) return;
  const std::string candidate = job.image_path.Get() + "/" + folder;
  if (candidate.size() > decltype(job.image_path)::kMaxLength) return;
  struct stat info{};
  if (stat(candidate.c_str(), &info) == 0) job.image_path.Set(candidate);
}

void ShowFlash(const std::string& text) {
  if (WindowNotifications* window = CurrentWindow()) window->ShowFlash(text);
}

const ProductRecord* FindProduct(const ProductCatalogue& catalogue, uint32_t m, uint32_t d) {
  for (int r = 0; r < catalogue.count; ++r)
    for (int k = 0; k < kMaxIdPairs; ++k)
      if (catalogue.records[r].m_ids[k] == m && catalogue.records[r].d_ids[k] == d) return &catalogue.records[r];
  return nullptr;
}

}  // namespace

bool LoadProductCatalogue(const std::string& path) {
  ProductCatalogue catalogue;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file != nullptr) {
    ReadCatalogue(file, catalogue);
    std::fclose(file);
  }
  std::lock_guard lock(catalogue_mutex);
  the_catalogue = catalogue;
  return file != nullptr;
}

ProductCatalogue TheProductCatalogue() {
  std::lock_guard lock(catalogue_mutex);
  return the_catalogue;
}

uint32_t ParseHexId(std::string_view text) {
  uint32_t value = 0;
  for (char c : text) {
    if (c == ' ' || c == '\t') continue;
    int digit;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else break;
    if (value > (UINT32_MAX >> 4)) break;
    value = value * 16 + static_cast<uint32_t>(digit);
  }
  return value;
}

bool ChooseProductFolder(UpgradeJob& job) {
  DeviceInfo& device = TheDevice();
  const PlatformProfile* profile = ProfileOf(job.platform);
  if (profile == nullptr || !profile->product_subfolders) {
    ShowFlash("");
    return true;
  }
  const ProductCatalogue catalogue = TheProductCatalogue();
  if (device.ids_valid == 1) {
    const ProductRecord* product = FindProduct(catalogue, static_cast<uint32_t>(device.product_m.load()),
                                               static_cast<uint32_t>(device.product_d.load()));
    if (product == nullptr) {
      ShowFlash("");
      return true;
    }
    AppendSubfolder(job, product->folder);
    ShowFlash(product->folder);
    device.ids_valid = 0;
    return true;
  }
  // Ids already used for this connection: the folder was chosen then.
  if (device.product_m != 0) return true;
  const bool hy = device.sw_version.Get().find(kHyVersionMark) != std::string::npos;
  const ProductRecord& product = catalogue.records[hy ? 1 : 0];
  AppendSubfolder(job, product.folder);
  ShowFlash(product.folder);
  return true;
}

}  // namespace vek
