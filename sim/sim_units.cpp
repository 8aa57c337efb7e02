#include "sim/sim_units.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "sim/sim_device.h"

namespace zemb::sim {

namespace fs = std::filesystem;

namespace {

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// Names Windows gives to devices in every folder: a folder of that name
// cannot be made there.
bool ReservedOnWindows(const std::string& name) {
  const std::string upper = Upper(name);
  for (const char* reserved : {"CON", "PRN", "AUX", "NUL"}) {
    if (upper == reserved) return true;
  }
  return upper.size() == 4 && (upper.rfind("COM", 0) == 0 || upper.rfind("LPT", 0) == 0) &&
         upper[3] >= '1' && upper[3] <= '9';
}

bool HasDeviceText(const fs::path& folder) {
  std::error_code ec;
  return fs::exists(folder / "device.txt", ec);
}

}  // namespace

std::string UnitNameProblem(const std::string& name) {
  if (name.empty()) return "a unit name cannot be empty";
  if (name.size() > kMaxUnitNameLength) {
    return "a unit name has at most " + std::to_string(kMaxUnitNameLength) + " characters";
  }
  for (char c : name) {
    const bool fits = std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_';
    if (!fits || static_cast<unsigned char>(c) >= 0x80) {
      return "a unit name holds only letters, digits, '-' and '_'";
    }
  }
  if (ReservedOnWindows(name)) return "\"" + name + "\" names a device on Windows";
  if (SameUnitName(name, kUnlistedInstance)) return "\"" + name + "\" is the unlisted unit's";
  return "";
}

bool SameUnitName(const std::string& a, const std::string& b) {
  return Upper(a) == Upper(b);
}

std::string UnitFolder(const std::string& name) {
  return name.empty() ? std::string(kSimFolder) : std::string(kSimFolder) + "/" + name;
}

std::vector<std::string> PluggedUnitNames() {
  std::vector<std::string> names;
  std::error_code ec;
  fs::directory_iterator it(kSimFolder, ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    std::error_code typeError;
    if (!it->is_directory(typeError) || it->is_symlink(typeError)) continue;
    const std::string name = it->path().filename().string();
    if (UnitNameProblem(name).empty() && HasDeviceText(it->path())) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> PluggedUnits() {
  std::vector<std::string> units;
  if (HasDeviceText(kSimFolder)) units.emplace_back();
  for (std::string& name : PluggedUnitNames()) units.push_back(std::move(name));
  return units;
}

std::string UnitText(const std::string& name) {
  return name.empty() ? "the device" : "unit " + name;
}

}  // namespace zemb::sim
