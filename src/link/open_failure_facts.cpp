#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "link/modem_manager.h"
#include "link/open_failure.h"
#include "link/port_udev_record.h"

namespace vek {
namespace {

// Names from the user and group databases are shown as they are; an id
// without an entry is shown as its number.
std::string UserName(uid_t uid) {
  std::vector<char> buffer(16384);
  passwd entry {};
  passwd* found = nullptr;
  if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_name)
    return found->pw_name;
  return "uid " + std::to_string(uid);
}

std::string GroupName(gid_t gid) {
  std::vector<char> buffer(16384);
  group entry {};
  group* found = nullptr;
  if (getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->gr_name)
    return found->gr_name;
  return std::to_string(gid);
}

bool ProcessHasGroup(gid_t gid) {
  if (getegid() == gid) return true;
  const int count = getgroups(0, nullptr);
  if (count <= 0) return false;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  const int got = getgroups(count, groups.data());
  return got > 0 && std::find(groups.begin(), groups.begin() + got, gid) != groups.begin() + got;
}

// Whether the group database lists the user in `gid` (as the next login would give it).
bool DatabaseListsUserInGroup(uid_t uid, gid_t gid) {
  std::vector<char> buffer(16384);
  passwd entry {};
  passwd* found = nullptr;
  if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found || !found->pw_name) return false;
  if (found->pw_gid == gid) return true;
  int count = 64;
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::vector<gid_t> groups(static_cast<size_t>(count));
    int n = count;
    if (getgrouplist(found->pw_name, found->pw_gid, groups.data(), &n) >= 0)
      return std::find(groups.begin(), groups.begin() + n, gid) != groups.begin() + n;
    if (n <= count || n > 65536) return false;
    count = n;
  }
  return false;
}

PortAccessFacts AccessFacts(const std::string& path) {
  PortAccessFacts facts;
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return facts;
  facts.known = true;
  facts.mode = st.st_mode & 07777u;
  facts.owner_name = UserName(st.st_uid);
  facts.group_name = GroupName(st.st_gid);
  facts.user_name = UserName(getuid());
  facts.user_in_group = ProcessHasGroup(st.st_gid);
  facts.user_listed_in_group = DatabaseListsUserInGroup(getuid(), st.st_gid);
  facts.tagged_uaccess = ReadPortUdevRecord(path).tagged_uaccess;
  return facts;
}

PortHolderFacts HolderFacts(const std::string& path, int error, const std::string& proc_root) {
  PortHolderFacts facts;
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) {
    // Our lock refused: the lock table names its holder. An exclusive terminal:
    // whoever has it open holds it.
    facts.holders = error == EWOULDBLOCK ? FlockHolders(proc_root, st.st_dev, st.st_ino)
                                         : ProcessesHoldingDevice(proc_root, st.st_rdev);
  }
  if (const auto manager = FindRunningModemManager(proc_root)) facts.modem_manager = manager->process;
  return facts;
}

}  // namespace

OpenFailureFacts GatherOpenFailureFacts(const std::string& path, int error, const std::string& proc_root) {
  OpenFailureFacts facts;
  if (error == EACCES || error == EPERM) facts.access = AccessFacts(path);
  if (error == EBUSY || error == EWOULDBLOCK) facts.busy = HolderFacts(path, error, proc_root);
  return facts;
}

}  // namespace vek
