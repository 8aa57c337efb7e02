// zemb's command line: `zemb [--help | --version] COMMAND [OPTIONS]`.
#include <cstring>
#include <string_view>

#include "zemb/zemb.h"

namespace zemb {

namespace {

// Every command takes --device; `units` is whether it takes several units
// at once (--device more than once, --all).
struct Accepts {
  bool file, config, start, length, json, writeFlags, ledger, units;
};

struct CommandName {
  const char* name;
  ZembCommand command;
  Accepts accepts;
};
constexpr CommandName kCommands[] = {
    // file, config, start, length, json, writeFlags, ledger, units
    {"info", ZembCommand::Info, {false, true, false, false, true, false, false, false}},
    {"read", ZembCommand::Read, {true, true, true, true, false, false, false, false}},
    {"verify", ZembCommand::Verify, {true, true, true, false, false, false, false, false}},
    {"write", ZembCommand::Write, {true, true, true, false, false, true, false, true}},
    {"provision", ZembCommand::Provision, {true, true, true, false, false, false, true, true}},
    {"list", ZembCommand::List, {false, false, false, false, true, false, false, false}},
    {"pool", ZembCommand::Pool, {true, false, false, false, true, false, true, false}},
};

constexpr struct {
  const char* name;
  PoolAction action;
} kPoolActions[] = {{"init", PoolAction::Init},
                    {"status", PoolAction::Status},
                    {"export", PoolAction::Export},
                    {"sync", PoolAction::Sync}};

// Null for the words that are not commands (help, version, none).
const CommandName* EntryOf(ZembCommand command) {
  for (const auto& c : kCommands) {
    if (c.command == command) return &c;
  }
  return nullptr;
}

Accepts AcceptsOf(ZembCommand command) {
  const CommandName* entry = EntryOf(command);
  return entry != nullptr ? entry->accepts : Accepts{};
}

}  // namespace

const char* ZembCommandName(ZembCommand command) {
  const CommandName* entry = EntryOf(command);
  return entry != nullptr ? entry->name : "";
}

ZembCommand ZembCommandNamed(const char* word) {
  for (const auto& c : kCommands) {
    if (std::strcmp(word, c.name) == 0) return c.command;
  }
  return ZembCommand::None;
}

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
  options->command = ZembCommandNamed(argv[i]);
  if (options->command == ZembCommand::None) {
    *error = "'" + std::string(argv[i]) + "' is not a zemb command";
    return false;
  }
  const ZembCommand command = options->command;
  const Accepts accepts = AcceptsOf(command);
  const std::string name = ZembCommandName(command);
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
      if (command == ZembCommand::Pool && options->poolAction == PoolAction::None) {
        for (const auto& a : kPoolActions) {
          if (word == a.name) options->poolAction = a.action;
        }
        if (options->poolAction == PoolAction::None) {
          *error = "'" + std::string(word) + "' is not a pool command (init, status, export, sync)";
          return false;
        }
        continue;
      }
      const bool takesFile = accepts.file && (command != ZembCommand::Pool ||
                                              options->poolAction == PoolAction::Export);
      if (!takesFile || haveFile) {
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
    } else if (key == "--ignore-misc" && command == ZembCommand::Verify) {
      if (!flag(&options->ignoreMisc)) return false;
    } else if ((key == "--pool" || key == "--ledger") && accepts.ledger) {
      if (!options->pool.empty()) {
        *error = "--pool given twice (--ledger is another name for it)";
        return false;
      }
      if (!takeValue(&options->pool)) return false;
      if (options->pool.empty()) {
        *error = std::string(key) + " needs a value";
        return false;
      }
    } else if ((key == "--serial-from" || key == "--mac-from" || key == "--station" ||
                key == "--operator") &&
               accepts.ledger) {
      std::string* out = key == "--serial-from" ? &options->serialFrom
                         : key == "--mac-from"  ? &options->macFrom
                         : key == "--station"   ? &options->station
                                                : &options->operatorName;
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
    } else if (key == "--device") {
      std::string id;
      if (!takeValue(&id)) return false;
      if (id.empty()) {
        *error = "--device needs a unit (an ID or device path from 'zemb list', or serial:N)";
        return false;
      }
      options->devices.push_back(id);
    } else if (key == "--all" && accepts.units) {
      if (!flag(&options->all)) return false;
    } else {
      *error = "unknown option '" + std::string(key) + "' for " + name;
      return false;
    }
  }
  if (command == ZembCommand::Pool) {
    const int range =
        !options->serialFrom.empty() + !options->macFrom.empty() + options->count.has_value();
    if (options->poolAction == PoolAction::None) {
      *error = "pool needs what to do: init, status, export or sync";
      return false;
    }
    if (options->pool.empty()) {
      *error = "pool needs --pool POOL (a pool file, or odbc:CONNECTION STRING)";
      return false;
    }
    if (options->poolAction == PoolAction::Init ? range != 3 : range != 0) {
      *error = options->poolAction == PoolAction::Init
                   ? "pool init needs --serial-from, --mac-from and --count"
                   : "--serial-from, --mac-from and --count belong to pool init";
      return false;
    }
    if (options->poolAction == PoolAction::Export && !haveFile) {
      *error = "pool export needs a FILE";
      return false;
    }
    if (options->json && options->poolAction != PoolAction::Status) {
      *error = "--json belongs to pool status";
      return false;
    }
    if (!options->station.empty() || !options->operatorName.empty() || !options->devices.empty()) {
      *error = "--station, --operator and --device belong to provision";
      return false;
    }
    return true;
  }
  if (accepts.file && !haveFile) {
    *error = name + " needs a FILE";
    return false;
  }
  if (accepts.file && options->file.empty()) {
    *error = name + " needs a FILE name that is not empty";
    return false;
  }
  if (options->all && !options->devices.empty()) {
    *error = "--all and --device do not go together";
    return false;
  }
  if (options->devices.size() > 1 && !accepts.units && command != ZembCommand::List) {
    *error = name + " works on one unit; give --device once";
    return false;
  }
  if (command != ZembCommand::Info && command != ZembCommand::List && !haveConfig) {
    *error = name + " needs --config FILE (the ROM configuration)";
    return false;
  }
  if (command == ZembCommand::Provision) {
    if (options->pool.empty()) {
      *error = "provision needs --pool POOL (a pool file, or odbc:CONNECTION STRING)";
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

}  // namespace zemb
