// The floors of the sources: the README draws them once, from the top down; every
// #include of src/, cli/ and sim/ must point at its own folder or a floor below.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>
#include "test_paths.h"

namespace {

namespace fs = std::filesystem;

const fs::path kSourceRoot = fs::path(vektest::TestSourceDir()).parent_path();

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Folder name -> height (0: the ground floor), from the README's floors block: the
// lines that start with folder names ("nv/  at/ ..."), the top first.
std::map<std::string, int> FloorsOfReadme() {
  std::istringstream readme(ReadText(kSourceRoot / "README.md"));
  std::vector<std::vector<std::string>> lines;  // top first
  std::string line;
  bool in_block = false, fenced = false;
  while (std::getline(readme, line)) {
    if (!in_block) {
      in_block = line.rfind("<!-- floors", 0) == 0;
      continue;
    }
    if (line.rfind("```", 0) == 0) {
      if (fenced) break;
      fenced = true;
      continue;
    }
    std::smatch folders;
    if (std::regex_search(line, folders, std::regex("^((?:[a-z_]+/ +)+)"))) {
      std::vector<std::string> names;
      std::istringstream words(folders[1].str());
      for (std::string word; words >> word;) names.push_back(word.substr(0, word.size() - 1));
      lines.push_back(names);
    }
  }
  std::map<std::string, int> height;
  for (size_t i = 0; i < lines.size(); ++i)
    for (const std::string& name : lines[i]) height[name] = static_cast<int>(lines.size() - 1 - i);
  return height;
}

struct Place {
  fs::path file;
  std::string folder;  // the floor it stands on
};

std::vector<Place> SourceFiles() {
  std::vector<Place> places;
  auto add = [&](const fs::path& dir, const std::string& folder) {
    for (const auto& entry : fs::directory_iterator(dir)) {
      const std::string ext = entry.path().extension().string();
      if (entry.is_regular_file() && (ext == ".h" || ext == ".cpp")) places.push_back({entry.path(), folder});
    }
  };
  for (const auto& floor : fs::directory_iterator(kSourceRoot / "src"))
    if (floor.is_directory()) add(floor.path(), floor.path().filename().string());
  for (const char* folder : {"cli", "factory", "report", "options", "events", "web", "sim"}) add(kSourceRoot / folder, folder);
  return places;
}

// "file:line: what is wrong" for every include against the floors.
std::vector<std::string> IncludesAgainstTheFloors(const std::map<std::string, int>& height) {
  std::vector<std::string> faults;
  const std::regex include("^\\s*#\\s*include\\s*\"([a-z_]+)/[^\"]*\"");
  for (const Place& place : SourceFiles()) {
    const std::string where = fs::relative(place.file, kSourceRoot).string();
    if (!height.count(place.folder)) {
      faults.push_back(where + ": the folder " + place.folder + "/ is not in the README's floors");
      continue;
    }
    std::istringstream text(ReadText(place.file));
    std::string line;
    for (int number = 1; std::getline(text, line); ++number) {
      std::smatch match;
      if (!std::regex_search(line, match, include)) continue;
      const std::string target = match[1].str();
      if (target == place.folder || !height.count(target)) continue;
      const std::string at = where + ":" + std::to_string(number) + ": " + line + ": ";
      if (target == "sim") {
        faults.push_back(at + "nothing in src/ or cli/ includes the simulator");
      } else if (height.at(target) >= height.at(place.folder)) {
        faults.push_back(at + place.folder + "/ may include only the floors below it, and " + target + "/ is " +
                         (height.at(target) == height.at(place.folder) ? "beside it" : "above it"));
      }
    }
  }
  return faults;
}

// The front ends and what they share among themselves.
bool FrontEnd(const std::string& folder) {
  return folder == "ui" || folder == "cli" || folder == "factory" || folder == "options";
}

// "file:line: what is wrong" for every front-end (ui/, cli/, factory/, options/) include of the engine
// other than its door and the interface the front ends implement, and for every
// name of the records or the worker that only the engine may touch.
std::vector<std::string> FrontEndsPastTheDoor(const std::map<std::string, int>& height) {
  std::vector<std::string> faults;
  const std::regex include("^\\s*#\\s*include\\s*\"(([a-z_]+)/[^\"]*)\"");
  const std::regex engine_name("\\b(TheJob|TheDevice|WorkerThread|DownloadWorker)\\b");
  for (const Place& place : SourceFiles()) {
    if (!FrontEnd(place.folder)) continue;
    const std::string where = fs::relative(place.file, kSourceRoot).string();
    std::istringstream text(ReadText(place.file));
    std::string line;
    for (int number = 1; std::getline(text, line); ++number) {
      const std::string at = where + ":" + std::to_string(number) + ": " + line + ": ";
      std::smatch match;
      if (std::regex_search(line, match, include)) {
        const std::string header = match[1].str(), folder = match[2].str();
        const bool engine = height.count(folder) && !FrontEnd(folder) && folder != "sim" && folder != "events" &&
                            folder != "web";
        if (engine && header != "device/session.h" && header != "records/window_notifications.h")
          faults.push_back(at + "a front end includes only device/session.h and records/window_notifications.h");
      }
      if (std::regex_search(line, match, engine_name))
        faults.push_back(at + "a front end does not name " + match[1].str() + "; it goes through the Session");
    }
  }
  return faults;
}

TEST(IncludeOrder, TheReadmeDrawsEveryFloorOnce) {
  const auto height = FloorsOfReadme();
  for (const char* floor : {"records", "link", "images", "protocol", "nv", "at", "app", "upgrade", "store", "device", "ui",
                            "cli", "factory", "report", "options", "events", "web", "sim"})
    EXPECT_TRUE(height.count(floor)) << floor << "/ is missing from the README's floors";
  ASSERT_TRUE(height.count("records") && height.count("device"));
  EXPECT_EQ(height.at("records"), 0);
  EXPECT_LT(height.at("device"), height.at("ui"));
}

TEST(IncludeOrder, EveryIncludePointsAtItsOwnFolderOrAFloorBelow) {
  const auto faults = IncludesAgainstTheFloors(FloorsOfReadme());
  EXPECT_TRUE(faults.empty()) << ::testing::PrintToString(faults);
}

TEST(IncludeOrder, FrontEndsReachTheEngineOnlyThroughTheSession) {
  const auto faults = FrontEndsPastTheDoor(FloorsOfReadme());
  EXPECT_TRUE(faults.empty()) << ::testing::PrintToString(faults);
}

}  // namespace
