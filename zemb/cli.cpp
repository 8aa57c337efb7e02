// zemb's command line: `zemb [--help | --version] COMMAND [OPTIONS]`.
#include <cstring>
#include <string_view>

#include "zemb/zemb.h"

namespace zemb {

namespace {

struct CommandName {
  const char* name;
  ZembCommand command;
};
constexpr CommandName kCommands[] = {
    {"info", ZembCommand::Info},           {"read", ZembCommand::Read},
    {"verify", ZembCommand::Verify},       {"write", ZembCommand::Write},
    {"provision", ZembCommand::Provision},
};

const char* NameOf(ZembCommand command) {
  for (const auto& c : kCommands) {
    if (c.command == command) return c.name;
  }
  return "";
}

// Which options a command takes.
struct Accepts {
  bool file, config, start, length, json, writeFlags, ledger;
};
Accepts AcceptsOf(ZembCommand command) {
  switch (command) {
    case ZembCommand::Info:
      return {false, true, false, false, true, false, false};
    case ZembCommand::Read:
      return {true, true, true, true, false, false, false};
    case ZembCommand::Verify:
      return {true, true, true, false, false, false, false};
    case ZembCommand::Write:
      return {true, true, true, false, false, true, false};
    case ZembCommand::Provision:
      return {true, true, true, false, false, false, true};
    default:
      return {};
  }
}

}  // namespace

bool ParseZembNumber(const char* text, uint32_t* value) {
  if (text == nullptr || *text == 0) return false;
  uint64_t v = 0;
  const bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const char* p = hex ? text + 2 : text;
  if (*p == 0) return false;
  for (; *p != 0; ++p) {
    int digit;
    if (*p >= '0' && *p <= '9') {
      digit = *p - '0';
    } else if (hex && *p >= 'a' && *p <= 'f') {
      digit = *p - 'a' + 10;
    } else if (hex && *p >= 'A' && *p <= 'F') {
      digit = *p - 'A' + 10;
    } else {
      return false;
    }
    v = v * (hex ? 16 : 10) + static_cast<uint64_t>(digit);
    if (v > 0xFFFFFFFFull) return false;
  }
  *value = static_cast<uint32_t>(v);
  return true;
}

bool ParseZembArguments(int argc, const char* const* argv, ZembOptions* options,
                        std::string* error) {
  *options = ZembOptions{};
  int i = 1;
  // Options before the command.
  for (; i < argc && argv[i][0] == '-'; ++i) {
    const std::string_view word = argv[i];
    if (word == "--help" || word == "-h") {
      options->command = ZembCommand::Help;
      return true;
    }
    if (word == "--version" || word == "-V") {
      options->command = ZembCommand::Version;
      return true;
    }
    *error = "unknown option '" + std::string(word) + "'";
    return false;
  }
  if (i >= argc) {
    *error = "no command given";
    return false;
  }
  for (const auto& c : kCommands) {
    if (std::strcmp(argv[i], c.name) == 0) options->command = c.command;
  }
  if (options->command == ZembCommand::None) {
    *error = "'" + std::string(argv[i]) + "' is not a zemb command";
    return false;
  }
  const ZembCommand command = options->command;
  const Accepts accepts = AcceptsOf(command);
  const std::string name = NameOf(command);
  bool haveFile = false, haveConfig = false;
  for (++i; i < argc; ++i) {
    std::string_view word = argv[i];
    if (word == "--help" || word == "-h") {
      options->command = ZembCommand::Help;
      options->helpFor = command;
      return true;
    }
    if (word.size() < 2 || word.substr(0, 2) != "--") {
      if (word.size() > 1 && word[0] == '-') {
        *error = "unknown option '" + std::string(word) + "' for " + name;
        return false;
      }
      if (!accepts.file || haveFile) {
        *error = "unexpected word '" + std::string(word) + "' for " + name;
        return false;
      }
      options->file = std::string(word);
      haveFile = true;
      continue;
    }
    // --name VALUE or --name=VALUE.
    std::string_view key = word;
    std::optional<std::string> value;
    if (auto eq = word.find('='); eq != std::string_view::npos) {
      key = word.substr(0, eq);
      value = std::string(word.substr(eq + 1));
    }
    auto takeValue = [&](std::string* out) {
      if (!value) {
        if (i + 1 >= argc) {
          *error = std::string(key) + " needs a value";
          return false;
        }
        value = argv[++i];
      }
      *out = *value;
      return true;
    };
    auto flag = [&](bool* out) {
      if (value) {
        *error = std::string(key) + " takes no value";
        return false;
      }
      if (*out) {
        *error = std::string(key) + " given twice";
        return false;
      }
      *out = true;
      return true;
    };
    auto number = [&](std::optional<uint32_t>* out) {
      std::string text;
      if (!takeValue(&text)) return false;
      if (out->has_value()) {
        *error = std::string(key) + " given twice";
        return false;
      }
      uint32_t n = 0;
      if (!ParseZembNumber(text.c_str(), &n)) {
        *error = std::string(key) + " takes a number (decimal, or hexadecimal after 0x), not '" +
                 text + "'";
        return false;
      }
      *out = n;
      return true;
    };
    if (key == "--config" && accepts.config) {
      if (haveConfig) {
        *error = "--config given twice";
        return false;
      }
      if (!takeValue(&options->config)) return false;
      if (options->config.empty()) {
        *error = "--config needs a file name";
        return false;
      }
      haveConfig = true;
    } else if (key == "--start" && accepts.start) {
      if (!number(&options->start)) return false;
    } else if (key == "--length" && accepts.length) {
      if (!number(&options->length)) return false;
    } else if (key == "--json" && accepts.json) {
      if (!flag(&options->json)) return false;
    } else if (key == "--overwrite-misc" && accepts.writeFlags) {
      if (!flag(&options->overwriteMisc)) return false;
    } else if (key == "--full" && accepts.writeFlags) {
      if (!flag(&options->full)) return false;
    } else if ((key == "--ledger" || key == "--serial-from" || key == "--mac-from") &&
               accepts.ledger) {
      std::string* out = key == "--ledger"        ? &options->ledger
                         : key == "--serial-from" ? &options->serialFrom
                                                  : &options->macFrom;
      if (!out->empty()) {
        *error = std::string(key) + " given twice";
        return false;
      }
      if (!takeValue(out)) return false;
      if (out->empty()) {
        *error = std::string(key) + " needs a value";
        return false;
      }
    } else if (key == "--count" && accepts.ledger) {
      if (!number(&options->count)) return false;
    } else {
      *error = "unknown option '" + std::string(key) + "' for " + name;
      return false;
    }
  }
  if (accepts.file && !haveFile) {
    *error = name + " needs a FILE";
    return false;
  }
  if (accepts.file && options->file.empty()) {
    *error = name + " needs a FILE name that is not empty";
    return false;
  }
  if (command != ZembCommand::Info && !haveConfig) {
    *error = name + " needs --config FILE (the ROM configuration)";
    return false;
  }
  if (command == ZembCommand::Provision) {
    if (options->ledger.empty()) {
      *error = "provision needs --ledger FILE";
      return false;
    }
    const int pool =
        !options->serialFrom.empty() + !options->macFrom.empty() + options->count.has_value();
    if (pool != 0 && pool != 3) {
      *error = "--serial-from, --mac-from and --count go together";
      return false;
    }
  }
  if (options->length && *options->length == 0) {
    *error = "--length must be at least 1";
    return false;
  }
  return true;
}

std::string ZembHelp(ZembCommand command) {
  switch (command) {
    case ZembCommand::Info:
      return "usage: zemb info [--config FILE] [--json]\n"
             "\n"
             "Shows the device found: its face and device path, its ROM type, its firmware\n"
             "version and side signature (where the face can ask for them). With --config it\n"
             "also reads the ROM header (signature, each region's start and length) and the\n"
             "misc record (serial number, P-side and S-side MAC).\n"
             "\n"
             "  --config FILE   the ROM configuration (type, size, page size, address size)\n"
             "  --json          one JSON object on standard output instead of the text\n";
    case ZembCommand::Read:
      return "usage: zemb read FILE --config CFG [--start A] [--length N]\n"
             "\n"
             "Reads the whole ROM, or N bytes from address A, into FILE. FILE is written\n"
             "whole or not at all: when the read fails, an existing FILE is left as it was.\n"
             "\n"
             "  --config CFG    the ROM configuration (type, size, page size, address size)\n"
             "  --start A       first address (default 0)\n"
             "  --length N      number of bytes (default: up to the end of the ROM)\n"
             "Numbers are decimal, or hexadecimal after 0x.\n";
    case ZembCommand::Verify:
      return "usage: zemb verify FILE --config CFG [--start A]\n"
             "\n"
             "Compares the ROM from address A (default 0) with FILE, without writing.\n"
             "Exit status 0 when they are equal; 1 with the differing ranges listed\n"
             "(the first ones, then how many more) when they are not.\n"
             "\n"
             "  --config CFG    the ROM configuration (type, size, page size, address size)\n"
             "  --start A       address of the file's first byte (default 0)\n";
    case ZembCommand::Write:
      return "usage: zemb write FILE --config CFG [--start A] [--overwrite-misc] [--full]\n"
             "\n"
             "Writes FILE into the ROM from address A (default 0) and proves it. Each\n"
             "4096-byte sector is read first: an equal sector is skipped; on an SPI ROM a\n"
             "sector whose new data only clears bits is programmed without an erase, any\n"
             "other is erased and its pages that are not all 0xFF are programmed; on an I2C\n"
             "ROM the differing pages are written. Every sector written is read back and\n"
             "compared.\n"
             "\n"
             "The unit's misc record (serial number and MAC addresses, the 40 bytes at\n"
             "0xB000) is kept when FILE covers it: the record read from the unit takes the\n"
             "place of those bytes of FILE. An erased record is left to FILE.\n"
             "\n"
             "Ctrl-C finishes and verifies the sector in hand, says where the write stopped\n"
             "and which sectors were not written, and exits with status 1.\n"
             "\n"
             "  --config CFG       the ROM configuration (type, size, page size, address size)\n"
             "  --start A          address of the file's first byte (default 0)\n"
             "  --overwrite-misc   write FILE's own bytes over the misc record\n"
             "  --full             erase and write every sector, as BURN does\n";
    case ZembCommand::Provision:
      return "usage: zemb provision FILE --config CFG --ledger LEDGER [--start A]\n"
             "                      [--serial-from S --mac-from M --count N]\n"
             "\n"
             "Gives the unit the next serial number and MAC address pair of the pool kept in\n"
             "LEDGER, writes FILE with that misc record (as write does, changing only what\n"
             "differs), verifies it, and records the result in LEDGER. The P-side MAC is the\n"
             "pool's next address, the S-side MAC the one after it.\n"
             "\n"
             "LEDGER is a CSV file (a spreadsheet opens it): a line with the pool, then one\n"
             "line per unit ever given values (time, device path, serial number, P-side and\n"
             "S-side MAC, SHA-256 of FILE, result). A value once in the ledger is never handed\n"
             "out again, whatever becomes of the unit: the line is on disk before the unit\n"
             "is touched, under a lock that keeps two zemb runs on one ledger apart. A unit\n"
             "that already carries a serial number of this ledger keeps its values.\n"
             "\n"
             "  --config CFG       the ROM configuration (type, size, page size, address size)\n"
             "  --ledger LEDGER    the ledger; made when it does not exist yet, from:\n"
             "  --serial-from S    the pool's first serial number (14 hex digits; counted in\n"
             "                     decimal when all 14 are decimal digits)\n"
             "  --mac-from M       the pool's first MAC address (00-11-22-33-44-55)\n"
             "  --count N          how many units the pool serves (2 MACs each)\n"
             "  --start A          address of the file's first byte (default 0)\n";
    default:
      return "usage: zemb [--help] [--version] COMMAND [OPTIONS]\n"
             "\n"
             "Reads, checks and writes the ROM of a Zemb device, and shows what the device is.\n"
             "\n"
             "Commands:\n"
             "  info     the device found, its firmware, and with --config its ROM header and\n"
             "           misc record\n"
             "  read     read the ROM, or a range of it, into a file\n"
             "  verify   compare the ROM with a file\n"
             "  write    write a file into the ROM, changing only the sectors that differ\n"
             "  provision  write a file with the next serial number and MACs of a pool\n"
             "\n"
             "'zemb COMMAND --help' tells a command's options.\n"
             "\n"
             "Exit status:\n"
             "  0  success\n"
             "  1  the device failed, the verification found a difference, or the run was\n"
             "     interrupted\n"
             "  2  bad command line, configuration, file or ledger (or its pool is used up);\n"
             "     nothing was written to the device\n"
             "  3  no device found\n";
  }
}

}  // namespace zemb
