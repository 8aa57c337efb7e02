#include "zemb/station/station_profile.h"

#include <cctype>
#include <nlohmann/json.hpp>
#include <set>

#include "common/host/regular_file.h"
#include "zemb/sha256.h"

namespace zemb {

namespace {

using Json = nlohmann::ordered_json;

constexpr size_t kMaxProfileBytes = 1u << 20;

bool ReadProfileFile(const std::string& path, std::string* text, std::string* error) {
  std::FILE* f = OpenRegularFile(path.c_str(), "rb");
  if (f == nullptr) {
    *error = "cannot open the profile " + path + " (a regular file is needed)";
    return false;
  }
  text->clear();
  char chunk[4096];
  size_t n = 0;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0 && text->size() <= kMaxProfileBytes) {
    text->append(chunk, n);
  }
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) {
    *error = "cannot read the profile " + path;
    return false;
  }
  if (text->size() > kMaxProfileBytes) {
    *error = "the profile " + path + " is larger than 1 MiB";
    return false;
  }
  return true;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

bool SamePort(const std::string& a, const std::string& b) {
  return Lower(a) == Lower(b);
}

bool LoadStationProfile(const std::string& path, StationProfile* profile, std::string* error) {
  std::string text;
  if (!ReadProfileFile(path, &text, error)) return false;
  const std::string in = "the profile " + path;

  // A key given twice in one object would silently lose one of its values.
  std::vector<std::set<std::string>> keys;
  std::string twice;
  auto callback = [&](int depth, Json::parse_event_t event, Json& parsed) {
    if (event == Json::parse_event_t::object_start) {
      keys.resize(static_cast<size_t>(depth) + 1);
      keys[static_cast<size_t>(depth)].clear();
    } else if (event == Json::parse_event_t::key && depth >= 1) {
      const size_t level = static_cast<size_t>(depth) - 1;
      if (level < keys.size() && !keys[level].insert(parsed.get<std::string>()).second &&
          twice.empty()) {
        twice = parsed.get<std::string>();
      }
    }
    return true;
  };
  Json j = Json::parse(text, callback, false);
  if (j.is_discarded()) {
    *error = in + " is not valid JSON";
    return false;
  }
  if (!twice.empty()) {
    *error = in + " gives \"" + twice + "\" twice";
    return false;
  }
  if (!j.is_object()) {
    *error = in + " must hold one JSON object";
    return false;
  }

  StationProfile p;
  p.path = path;
  Sha256 sha;
  sha.Update(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  p.sha256 = Sha256::Hex(sha.Finish());
  auto text_of = [&](const char* key, std::string* value) {
    const auto it = j.find(key);
    if (it == j.end()) return true;
    if (!it->is_string()) {
      *error = in + ": \"" + key + "\" must be a string";
      return false;
    }
    *value = it->get<std::string>();
    return true;
  };
  static const std::set<std::string> known = {"mode",    "image",   "config",   "pool",
                                              "slots",   "station", "operator", "fail_streak",
                                              "on_pass", "on_fail"};
  for (auto it = j.begin(); it != j.end(); ++it) {
    if (known.count(it.key()) == 0) {
      *error = in + ": unknown key \"" + it.key() +
               "\" (the keys are mode, image, config, pool, slots, station, operator, "
               "fail_streak, on_pass, on_fail)";
      return false;
    }
  }
  for (const auto& [key, field] : {std::pair<const char*, std::string*>{"mode", &p.mode},
                                   {"image", &p.image},
                                   {"config", &p.config},
                                   {"pool", &p.pool},
                                   {"station", &p.station},
                                   {"operator", &p.operatorName},
                                   {"on_pass", &p.onPass},
                                   {"on_fail", &p.onFail}}) {
    if (!text_of(key, field)) return false;
  }
  if (p.mode != "write" && p.mode != "provision") {
    *error = in + ": \"mode\" must be \"write\" or \"provision\"";
    return false;
  }
  if (p.image.empty() || p.config.empty()) {
    *error = in + ": \"image\" and \"config\" name the image and the ROM configuration";
    return false;
  }
  if (p.mode == "provision" && p.pool.empty()) {
    *error = in + ": mode \"provision\" needs \"pool\"";
    return false;
  }
  if (const auto it = j.find("fail_streak"); it != j.end()) {
    if (!it->is_number_unsigned() || it->get<uint64_t>() < 1 || it->get<uint64_t>() > 1000) {
      *error = in + ": \"fail_streak\" must be a whole number from 1 to 1000";
      return false;
    }
    p.failStreak = it->get<uint32_t>();
  }
  const auto slots = j.find("slots");
  if (slots == j.end() || !slots->is_object() || slots->empty()) {
    *error = in + ": \"slots\" must be an object of slot names and their ports";
    return false;
  }
  for (auto it = slots->begin(); it != slots->end(); ++it) {
    if (!it->is_string() || it->get<std::string>().empty() || it.key().empty()) {
      *error = in + ": slot \"" + it.key() + "\" must name its port as a string";
      return false;
    }
    for (const StationSlotPort& other : p.slots) {
      if (SamePort(other.port, it->get<std::string>())) {
        *error = in + ": port " + it->get<std::string>() + " is given to slots " + other.slot +
                 " and " + it.key();
        return false;
      }
    }
    p.slots.push_back({it.key(), it->get<std::string>()});
  }
  *profile = std::move(p);
  return true;
}

}  // namespace zemb
