// zemb info: the device found, its firmware, and with a configuration its
// ROM header and misc record, as text or as one JSON object.
#include <array>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "common/rom/misc_record.h"
#include "common/rom/rom_layout.h"
#include "zemb/zemb_run.h"

namespace zemb {

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          out += Format("\\u%04x", c);
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

namespace {

// One answer of the device: its value, or why there is none.
struct Answer {
  bool ok = false;
  std::string why;  // "not available on this face", or the error
};

struct RegionRow {
  const char* name;
  size_t offset;
};
constexpr RegionRow kRegions[] = {
    {"hwfw", kHwFwEntryOffset},
    {"desc", kDescEntryOffset},
    {"image", kImageEntryOffset},
    {"misc", kMiscEntryOffset},
};

struct InfoData {
  uint8_t romType = kRomTypeUnset;
  Answer romTypeAnswer;
  uint32_t version[2] = {};
  Answer versionAnswer;
  uint32_t signature = 0;
  Answer signatureAnswer;
  bool haveRom = false;  // a configuration was given
  Answer headerAnswer;
  std::array<uint8_t, kHeaderSize> header{};
  Answer miscAnswer;
  std::array<uint8_t, kMiscRecordSize> misc{};
};

Answer Asked(ZembRun& run, bool ok) {
  Answer answer;
  answer.ok = ok;
  if (!ok) {
    answer.why = run.host.GetLastError() == kErrorNotSupported &&
                         run.device.path == DevicePath::ExtensionUnit
                     ? "not available on this face"
                     : "request failed: " + run.LastErrorText();
  }
  return answer;
}

void PrintText(ZembRun& run, const InfoData& d) {
  run.Out("face:              %s (%s)\n", run.FaceId(), run.FaceWords());
  run.Out("device path:       %s\n", run.device.devicePath.c_str());
  if (d.romTypeAnswer.ok) {
    run.Out("ROM type:          %s\n", RomTypeText(d.romType));
  } else {
    run.Out("ROM type:          unknown (%s)\n", d.romTypeAnswer.why.c_str());
  }
  if (d.versionAnswer.ok) {
    run.Out("firmware version:  0x%08X 0x%08X\n", d.version[0], d.version[1]);
  } else {
    run.Out("firmware version:  %s\n", d.versionAnswer.why.c_str());
  }
  if (d.signatureAnswer.ok) {
    run.Out("side signature:    0x%08X\n", d.signature);
  } else {
    run.Out("side signature:    %s\n", d.signatureAnswer.why.c_str());
  }
  if (!d.haveRom) return;
  if (!d.headerAnswer.ok) {
    run.Out("ROM header:        unreadable (%s)\n", d.headerAnswer.why.c_str());
  } else {
    const bool valid = IsRomHeaderValid(d.header);
    run.Out("ROM header:        %s\n", valid ? "valid"
                                       : IsErased(d.header.data(), kHeaderDefinedBytes)
                                           ? "not valid (erased)"
                                           : "not valid (signature or markers)");
    for (const auto& region : kRegions) {
      const RegionEntry entry = DecodeRegionEntry(d.header.data() + region.offset);
      run.Out("  %-6s           type 0x%02X  start %s  length %u\n", region.name, entry.RegionType,
              Hex32(entry.RegionStart).c_str(), static_cast<unsigned>(entry.RegionLength));
    }
  }
  if (!d.miscAnswer.ok) {
    run.Out("misc record:       unreadable (%s)\n", d.miscAnswer.why.c_str());
    return;
  }
  if (IsErased(d.misc.data(), kMiscRecordSize)) {
    run.Out("misc record:       erased\n");
    return;
  }
  run.Out("serial number:     %s\n", SerialText(d.misc.data() + kMiscSerialOffset).c_str());
  run.Out("P-side MAC:        %s\n", MacText(d.misc.data() + kMiscPSideMacOffset).c_str());
  run.Out("S-side MAC:        %s\n", MacText(d.misc.data() + kMiscSSideMacOffset).c_str());
}

void PrintJson(ZembRun& run, const InfoData& d) {
  using Json = nlohmann::ordered_json;
  Json j;
  j["face"] = run.FaceId();
  j["device_path"] = run.device.devicePath;
  const std::string port = run.host.DevicePort(run.device.devicePath);
  j["port"] = port.empty() ? Json(nullptr) : Json(port);
  j["rom_type"] = d.romTypeAnswer.ok ? Json(RomTypeText(d.romType)) : Json(nullptr);
  j["firmware_version"] =
      d.versionAnswer.ok ? Json::array({d.version[0], d.version[1]}) : Json(nullptr);
  j["side_signature"] = d.signatureAnswer.ok ? Json(d.signature) : Json(nullptr);
  Json notes = Json::array();
  for (const Answer* a : {&d.romTypeAnswer, &d.versionAnswer, &d.signatureAnswer}) {
    if (!a->ok) notes.push_back(a->why);
  }
  if (d.haveRom) {
    if (d.headerAnswer.ok) {
      Json regions = Json::object();
      for (const auto& region : kRegions) {
        const RegionEntry entry = DecodeRegionEntry(d.header.data() + region.offset);
        regions[region.name] = {{"type", entry.RegionType},
                                {"start", entry.RegionStart},
                                {"length", entry.RegionLength}};
      }
      j["header"] = {{"valid", IsRomHeaderValid(d.header)}, {"regions", regions}};
    } else {
      j["header"] = nullptr;
      notes.push_back("ROM header: " + d.headerAnswer.why);
    }
    if (d.miscAnswer.ok) {
      const auto serial = ValidSerial(d.misc.data() + kMiscSerialOffset);
      auto mac = [&](uint32_t offset) {
        const uint8_t* m = d.misc.data() + offset;
        if (IsErased(m, kMacLength)) return Json(nullptr);
        return Json(Format("%02X-%02X-%02X-%02X-%02X-%02X", m[0], m[1], m[2], m[3], m[4], m[5]));
      };
      j["misc"] = {{"erased", IsErased(d.misc.data(), kMiscRecordSize)},
                   {"serial", serial ? Json(*serial) : Json(nullptr)},
                   {"mac_p", mac(kMiscPSideMacOffset)},
                   {"mac_s", mac(kMiscSSideMacOffset)}};
    } else {
      j["misc"] = nullptr;
      notes.push_back("misc record: " + d.miscAnswer.why);
    }
  }
  j["notes"] = notes;
  // A device's or the system's text may hold any byte: never let it stop the
  // object.
  run.Out("%s\n", j.dump(-1, ' ', false, Json::error_handler_t::replace).c_str());
}

}  // namespace

int ZembInfo(ZembRun& run) {
  if (int status = run.OpenDevice()) return status;
  InfoData d;
  RomAccessTable& table = run.Table();
  d.romType = table.GetRomType();
  d.romTypeAnswer = Asked(run, d.romType != kRomTypeUnset);
  d.versionAnswer = Asked(run, table.ReadFirmwareVersion(d.version));
  d.signatureAnswer = Asked(run, table.ReadSideSignature(&d.signature));
  bool failed = !d.romTypeAnswer.ok ||
                (!d.versionAnswer.ok && d.versionAnswer.why != "not available on this face") ||
                (!d.signatureAnswer.ok && d.signatureAnswer.why != "not available on this face");
  if (!run.options.config.empty()) {
    d.haveRom = true;
    if (d.romTypeAnswer.ok && d.romType != run.romType) {
      // Reading with another kind's geometry would show garbage as the
      // header; say why instead.
      d.headerAnswer.why = d.miscAnswer.why =
          Format("the device has an %s ROM, the configuration says %s", RomTypeText(d.romType),
                 RomTypeText(run.romType));
      failed = true;
    } else if (!d.romTypeAnswer.ok) {
      d.headerAnswer.why = d.miscAnswer.why = "the ROM type is unknown";
    } else {
      const bool fits = static_cast<uint64_t>(run.rom.RomSize) >= kMiscAddress + kMiscRecordSize;
      d.headerAnswer =
          Asked(run, table.ReadRom(run.rom, d.header.data(), kHeaderAddress, kHeaderSize) != 0);
      if (fits) {
        d.miscAnswer =
            Asked(run, table.ReadRom(run.rom, d.misc.data(), kMiscAddress, kMiscRecordSize) != 0);
      } else {
        d.miscAnswer.why = "the ROM is too small to hold it";
      }
      failed = failed || !d.headerAnswer.ok || (fits && !d.miscAnswer.ok);
    }
  }
  if (run.options.json) {
    PrintJson(run, d);
  } else {
    PrintText(run, d);
  }
  return failed ? kExitFailed : kExitOk;
}

}  // namespace zemb
