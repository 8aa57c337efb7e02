// What every store shares: the pool's arithmetic, the unit record's fields,
// the --pool argument that chooses the store, and masking secrets.
#include "zemb/pool/pool.h"

#include <chrono>

#include "common/base/console.h"
#include "common/base/numbers.h"
#include "zemb/pool/csv.h"
#include "zemb/pool/journal_pool.h"
#include "zemb/pool/odbc_pool.h"

namespace zemb {

namespace {

constexpr int kSerialDigits = 14;

bool AllDecimal(const std::string& s) {
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

bool ParseHex(const std::string& s, uint64_t* value) {
  if (s.empty() || s.size() > 16) return false;
  uint64_t v = 0;
  for (char c : s) {
    const int d = HexDigit(c);
    if (d < 0) return false;
    v = v * 16 + static_cast<uint64_t>(d);
  }
  *value = v;
  return true;
}

bool ParseMac(const std::string& text, uint64_t* mac) {
  if (text.size() != 17) return false;
  uint64_t v = 0;
  for (int i = 0; i < 6; ++i) {
    if (i > 0 && text[3 * i - 1] != '-' && text[3 * i - 1] != ':') return false;
    uint64_t octet = 0;
    if (!ParseHex(text.substr(3 * i, 2), &octet)) return false;
    v = v << 8 | octet;
  }
  *mac = v;
  return true;
}

uint64_t SerialValue(const std::string& serial, bool decimal) {
  uint64_t v = 0;
  if (decimal) {
    v = std::stoull(serial);
  } else {
    ParseHex(serial, &v);
  }
  return v;
}

// serial_from + k in the base the pool counts in; empty past 14 digits.
std::string SerialPlus(const std::string& from, uint64_t k) {
  const bool decimal = AllDecimal(from);
  const uint64_t v = SerialValue(from, decimal) + k;
  const std::string text = decimal ? Format("%014llu", static_cast<unsigned long long>(v))
                                   : Format("%014llX", static_cast<unsigned long long>(v));
  return text.size() == kSerialDigits ? text : std::string();
}

std::string MacString(uint64_t mac) {
  return Format("%02X-%02X-%02X-%02X-%02X-%02X", static_cast<unsigned>(mac >> 40 & 0xFF),
                static_cast<unsigned>(mac >> 32 & 0xFF), static_cast<unsigned>(mac >> 24 & 0xFF),
                static_cast<unsigned>(mac >> 16 & 0xFF), static_cast<unsigned>(mac >> 8 & 0xFF),
                static_cast<unsigned>(mac & 0xFF));
}

}  // namespace

// --- CSV -----------------------------------------------------------------

std::string CsvField(const std::string& field) {
  if (field.find_first_of(",\"\r\n") == std::string::npos) return field;
  std::string q = "\"";
  for (char c : field) {
    if (c == '"') q += '"';
    q += c;
  }
  return q + "\"";
}

std::string CsvRow(const std::vector<std::string>& fields) {
  std::string row;
  for (size_t i = 0; i < fields.size(); ++i) row += (i == 0 ? "" : ",") + CsvField(fields[i]);
  return row;
}

std::vector<std::string> SplitCsvRow(const std::string& line, bool* complete) {
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted) {
      if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
        fields.back() += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        fields.back() += c;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  if (complete != nullptr) *complete = !quoted;
  return fields;
}

// --- States and records --------------------------------------------------

const char* UnitStateName(UnitState state) {
  switch (state) {
    case UnitState::Reserved:
      return "reserved";
    case UnitState::Committed:
      return "committed";
    case UnitState::Failed:
      return "failed";
    case UnitState::Released:
      return "released";
  }
  return "";
}

bool UnitStateNamed(const std::string& word, UnitState* state) {
  for (UnitState s :
       {UnitState::Reserved, UnitState::Committed, UnitState::Failed, UnitState::Released}) {
    if (word == UnitStateName(s)) {
      *state = s;
      return true;
    }
  }
  return false;
}

const std::vector<std::string>& UnitRecordFields() {
  static const std::vector<std::string> fields = {
      "index",        "serial",          "mac_p",          "mac_s",   "image",
      "image_sha256", "readback_sha256", "device_path",    "unit_id", "port",
      "station",      "operator",        "tool_version",   "start",   "end",
      "result",       "reason",          "profile_sha256", "label",   "hook"};
  return fields;
}

std::vector<std::string> UnitRecordValues(const UnitRecord& r) {
  return {std::to_string(r.index),
          r.serial,
          r.macP,
          r.macS,
          r.image,
          r.imageSha256,
          r.readbackSha256,
          r.devicePath,
          r.unitId,
          r.port,
          r.station,
          r.operatorName,
          r.toolVersion,
          r.start,
          r.end,
          UnitStateName(r.state),
          r.reason,
          r.profileSha256,
          r.label,
          r.hook};
}

bool UnitRecordFromValues(const std::vector<std::string>& v, UnitRecord* r) {
  if (v.size() != UnitRecordFields().size()) return false;
  if (v[0].empty() || v[0].size() > 9 || !AllDecimal(v[0])) return false;
  UnitRecord out;
  out.index = static_cast<uint32_t>(std::stoul(v[0]));
  if (!UnitStateNamed(v[15], &out.state)) return false;
  out.serial = v[1];
  out.macP = v[2];
  out.macS = v[3];
  out.image = v[4];
  out.imageSha256 = v[5];
  out.readbackSha256 = v[6];
  out.devicePath = v[7];
  out.unitId = v[8];
  out.port = v[9];
  out.station = v[10];
  out.operatorName = v[11];
  out.toolVersion = v[12];
  out.start = v[13];
  out.end = v[14];
  out.reason = v[16];
  out.profileSha256 = v[17];
  out.label = v[18];
  out.hook = v[19];
  *r = out;
  return true;
}

int ExitStatusOf(const PoolErrorKind kind) {
  return kind == PoolErrorKind::Failed ? 1 : 2;
}

// --- The pool's values -----------------------------------------------------

bool MakePoolRange(const std::string& serialFrom, const std::string& macFrom, uint32_t count,
                   PoolRange* range, std::string* error, bool existing) {
  uint64_t ignored = 0;
  if (serialFrom.size() != kSerialDigits || !ParseHex(serialFrom, &ignored)) {
    *error = "--serial-from takes 14 hexadecimal digits, not '" + serialFrom + "'";
    return false;
  }
  uint64_t mac = 0;
  if (!ParseMac(macFrom, &mac)) {
    *error = "--mac-from takes a MAC address like 00-11-22-33-44-55, not '" + macFrom + "'";
    return false;
  }
  if (mac == 0 && !existing) {
    *error = "--mac-from " + macFrom +
             " is no address a unit may carry; give the first of the "
             "block of addresses bought for the units";
    return false;
  }
  if ((mac >> 40) & 1) {
    *error = "--mac-from " + macFrom + " is a multicast address; units need unicast addresses";
    return false;
  }
  if (count == 0) {
    *error = "--count must be at least 1";
    return false;
  }
  PoolRange p;
  for (char c : serialFrom) p.serialFrom += (c >= 'a' && c <= 'f') ? static_cast<char>(c - 32) : c;
  p.macFrom = mac;
  p.count = count;
  if (SerialPlus(p.serialFrom, count - 1).empty()) {
    *error = Format("a pool of %u serial numbers from %s runs past 14 digits", count,
                    p.serialFrom.c_str());
    return false;
  }
  // The first three octets name the maker the addresses belong to; a pool
  // that ran past them would hand out another maker's addresses.
  if ((mac >> 24) != ((mac + 2ull * count - 1) >> 24)) {
    *error =
        Format("a pool of %u MAC pairs from %s runs past the addresses of %02X-%02X-%02X", count,
               macFrom.c_str(), static_cast<unsigned>(mac >> 40 & 0xFF),
               static_cast<unsigned>(mac >> 32 & 0xFF), static_cast<unsigned>(mac >> 24 & 0xFF));
    return false;
  }
  *range = p;
  return true;
}

UnitRecord NthValue(const PoolRange& range, uint32_t index) {
  UnitRecord r;
  r.index = index;
  r.serial = SerialPlus(range.serialFrom, index);
  r.macP = MacString(range.macFrom + 2ull * index);
  r.macS = MacString(range.macFrom + 2ull * index + 1);
  return r;
}

std::optional<uint32_t> IndexOfSerial(const PoolRange& range, const std::string& serial) {
  if (serial.size() != kSerialDigits) return std::nullopt;
  std::string upper;
  for (char c : serial) upper += (c >= 'a' && c <= 'f') ? static_cast<char>(c - 32) : c;
  const bool decimal = AllDecimal(range.serialFrom);
  uint64_t v = 0;
  if (decimal ? !AllDecimal(upper) : !ParseHex(upper, &v)) return std::nullopt;
  if (decimal) v = std::stoull(upper);
  const uint64_t from = SerialValue(range.serialFrom, decimal);
  if (v < from || v - from >= range.count) return std::nullopt;
  const auto index = static_cast<uint32_t>(v - from);
  if (SerialPlus(range.serialFrom, index) != upper) return std::nullopt;
  return index;
}

std::string UtcNow(bool withMilliseconds) {
  // The system clock counts from 1970-01-01 00:00 UTC.
  using namespace std::chrono;
  const auto exact = floor<milliseconds>(system_clock::now());
  const auto now = floor<seconds>(exact);
  const auto today = floor<days>(now);
  const year_month_day date{today};
  const hh_mm_ss time{now - today};
  std::string text =
      Format("%04d-%02u-%02uT%02d:%02d:%02d", static_cast<int>(date.year()),
             static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
             static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
             static_cast<int>(time.seconds().count()));
  if (withMilliseconds) text += Format(".%03d", static_cast<int>((exact - now).count()));
  return text + "Z";
}

// --- The --pool argument ------------------------------------------------

std::string MaskSecrets(const std::string& pool) {
  // Connection strings are KEY=VALUE pairs split by ';'; a value may be
  // braced ({...}, with '}}' for a brace inside) and then hold ';'.
  std::string out;
  size_t i = 0;
  while (i < pool.size()) {
    const size_t eq = pool.find('=', i);
    const size_t semi = pool.find(';', i);
    if (eq == std::string::npos || (semi != std::string::npos && semi < eq)) {
      const size_t end = semi == std::string::npos ? pool.size() : semi + 1;
      out += pool.substr(i, end - i);
      i = end;
      continue;
    }
    std::string key = pool.substr(i, eq - i);
    std::string upper;
    for (char c : key) {
      if (c != ' ') upper += static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    }
    size_t valueEnd = eq + 1;
    if (valueEnd < pool.size() && pool[valueEnd] == '{') {
      ++valueEnd;
      while (valueEnd < pool.size()) {
        if (pool[valueEnd] == '}') {
          if (valueEnd + 1 < pool.size() && pool[valueEnd + 1] == '}') {
            valueEnd += 2;
            continue;
          }
          ++valueEnd;
          break;
        }
        ++valueEnd;
      }
    }
    const size_t next = pool.find(';', valueEnd);
    const size_t end = next == std::string::npos ? pool.size() : next;
    const bool secret = upper == "PWD" || upper == "PASSWORD";
    out += key + "=" + (secret ? std::string("***") : pool.substr(eq + 1, end - eq - 1));
    if (next != std::string::npos) out += ";";
    i = next == std::string::npos ? pool.size() : next + 1;
  }
  return out;
}

std::unique_ptr<PoolStore> MakePoolStore(const std::string& pool, PoolError* error) {
  constexpr const char* kOdbc = "odbc:";
  if (pool.rfind(kOdbc, 0) == 0) return MakeOdbcPool(pool.substr(5), error);
  if (pool.empty()) {
    error->kind = PoolErrorKind::Invalid;
    error->text = "--pool needs a pool file or an odbc: connection string";
    return nullptr;
  }
  return MakeJournalPool(pool);
}

}  // namespace zemb
