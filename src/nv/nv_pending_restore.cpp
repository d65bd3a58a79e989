#include "nv/nv_pending_restore.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "link/small_file.h"
#include "nv/nv_backup_file.h"
#include "nv/nv_exchange.h"
#include "nv/nv_identity.h"

namespace vek {
namespace {

constexpr const char* kNoteExtension = ".note";
constexpr size_t kNoteLimit = 4096;
constexpr size_t kFieldMax = 64;

// A file name made of an identity: letters and digits only, so it stays in the folder.
std::string KeyOf(const ModuleIdentity& identity) {
  const std::string& text = identity.nv.empty() ? identity.at : identity.nv;
  if (text.empty() || text.size() > kIdentityTextMax) return {};
  for (unsigned char c : text)
    if (!std::isalnum(c)) return {};
  return text;
}

// A field's value as a note may hold it: printable, short, no '='-lines of its own.
bool Plain(const std::string& value) {
  if (value.size() > kFieldMax) return false;
  for (unsigned char c : value)
    if (c < 0x20 || c >= 0x7F) return false;
  return true;
}

std::string UtcNow() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32] = {};
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

int64_t SizeOf(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return st.st_size;
}

// Writes `bytes` as `path`, whole and synced before it takes the name.
bool WriteDurably(const std::string& path, const uint8_t* bytes, size_t length) {
  BackupFileWriter file(path);
  if (!file.Create()) return false;
  file.AppendBytes(bytes, length);
  return file.Commit();
}

// A note and its copy, when both are whole and say who they belong to.
std::optional<PendingRestore> ReadNote(const std::string& stem) {
  PendingRestore pending;
  pending.note_path = std::string(kNvPendingFolder) + "/" + stem + kNoteExtension;
  pending.backup_path = std::string(kNvPendingFolder) + "/" + stem + ".nvb";
  const std::string text = ReadSmallFile(pending.note_path, kNoteLimit, TooLarge::kNothing);
  int64_t bytes = -1;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    const size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = line.substr(0, equals);
    const std::string value = line.substr(equals + 1);
    if (!Plain(value)) return std::nullopt;
    if (key == "taken_utc") pending.taken_utc = value;
    else if (key == "at_identity") pending.identity.at = value;
    else if (key == "nv_identity") pending.identity.nv = value;
    else if (key == "bytes" && !value.empty() && value.size() < 12 &&
             value.find_first_not_of("0123456789") == std::string::npos)
      bytes = std::stoll(value);
  }
  // A copy that is not the one noted (cut short, replaced) is never written into a module.
  if (!pending.identity.Known() || bytes <= 0 || SizeOf(pending.backup_path) != bytes) return std::nullopt;
  return pending;
}

}  // namespace

bool ModuleIdentity::Matches(const ModuleIdentity& other) const {
  // A download that reset the module's items may have reset its identity item
  // too: the AT port's identity alone still names it.
  return (!at.empty() && at == other.at) || (!nv.empty() && nv == other.nv);
}

std::string BackupIdentity(const std::string& backup_path, bool meid) {
  BackupFileReader file;
  if (!file.Open(backup_path)) return {};
  const uint16_t wanted = meid ? kMeidItem : kImeiItem;
  uint8_t record[kNvRecordLength];
  while (file.Next(record) == kNvRecordLength) {
    if (static_cast<uint16_t>(record[1] | (record[2] << 8)) == wanted)
      return meid ? MeidText(record + 3) : ImeiText(record + 3);
  }
  return {};
}

std::optional<PendingRestore> FindPendingRestore(const ModuleIdentity& identity) {
  if (!identity.Known()) return std::nullopt;
  DIR* folder = opendir(kNvPendingFolder);
  if (folder == nullptr) return std::nullopt;
  std::optional<PendingRestore> found;
  while (const dirent* entry = readdir(folder)) {
    const std::string name = entry->d_name;
    const size_t extension = std::strlen(kNoteExtension);
    if (name.size() <= extension || name.compare(name.size() - extension, extension, kNoteExtension) != 0) continue;
    std::optional<PendingRestore> pending = ReadNote(name.substr(0, name.size() - extension));
    if (pending && pending->identity.Matches(identity)) {
      found = std::move(pending);
      break;
    }
  }
  closedir(folder);
  return found;
}

std::optional<PendingRestore> NotePendingRestore(const ModuleIdentity& identity, std::string* error) {
  if (std::optional<PendingRestore> earlier = FindPendingRestore(identity)) return earlier;
  const std::string key = KeyOf(identity);
  if (key.empty() || !Plain(identity.at) || !Plain(identity.nv)) {
    if (error) *error = "the module's identity is unknown";
    return std::nullopt;
  }
  if (mkdir(kNvPendingFolder, 0700) != 0 && errno != EEXIST) {
    if (error) *error = std::string("can't make ") + kNvPendingFolder + ": " + std::strerror(errno);
    return std::nullopt;
  }
  PendingRestore pending{identity, UtcNow(), std::string(kNvPendingFolder) + "/" + key + ".nvb",
                         std::string(kNvPendingFolder) + "/" + key + kNoteExtension};
  // The copy first: a note never names a copy that is not whole.
  if (!CopyBackupFile(kBackupFileName, pending.backup_path)) {
    if (error) *error = "can't copy backup.nvb to " + pending.backup_path;
    return std::nullopt;
  }
  const std::string note = "taken_utc=" + pending.taken_utc + "\nat_identity=" + identity.at +
                           "\nnv_identity=" + identity.nv + "\nbytes=" +
                           std::to_string(SizeOf(pending.backup_path)) + "\n";
  if (!WriteDurably(pending.note_path, reinterpret_cast<const uint8_t*>(note.data()), note.size())) {
    if (error) *error = "can't write " + pending.note_path;
    unlink(pending.backup_path.c_str());
    return std::nullopt;
  }
  return pending;
}

void ClearPendingRestore(const PendingRestore& pending) {
  // The note goes first: a copy without a note is never restored.
  unlink(pending.note_path.c_str());
  unlink(pending.backup_path.c_str());
  rmdir(kNvPendingFolder);  // only when no other module's note is left in it
}

}  // namespace vek
