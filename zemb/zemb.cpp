// zemb's main flow: parse, read the configuration, find the device, run the
// command, release the device; every outcome is an exit status.
#include "zemb/zemb.h"

#include <cstdarg>

#include "common/rom/rom_config.h"
#include "zemb/zemb_run.h"

namespace zemb {

void ZembRun::Out(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatV(format, args);
  va_end(args);
  host.WriteStdout(text);
}

int ZembRun::Error(int status, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatV(format, args);
  va_end(args);
  host.WriteStderr("zemb: error: " + text + "\n");
  lastError = text;
  return status;
}

void ZembRun::Note(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatV(format, args);
  va_end(args);
  host.WriteStderr("zemb: " + text + "\n");
}

std::string ZembRun::LastErrorText() {
  const uint32_t code = host.GetLastError();
  std::string text;
  if (!host.FormatSystemMessage(code, &text)) text = "no system text is known for this code";
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  return Format("error %u: %s", static_cast<unsigned>(code), text.c_str());
}

namespace {

struct FaceNames {
  const char* id;
  const char* words;
};

FaceNames NamesOf(DevicePath path) {
  switch (path) {
    case DevicePath::OwnDriver:
      return {"own", "the maker's driver"};
    case DevicePath::CdRom:
      return {"cdrom", "CD-ROM drive with vendor commands"};
    case DevicePath::ExtensionUnit:
      return {"xu", "camera with the device's extension unit"};
    case DevicePath::None:
      break;
  }
  return {"none", "none"};
}

}  // namespace

const char* ZembRun::FaceId() const {
  return NamesOf(device.path).id;
}

const char* ZembRun::FaceWords() const {
  return NamesOf(device.path).words;
}

int ZembRun::OpenDevice() {
  switch (session.Open(nullptr, GetDriverDeviceHandle)) {
    case SessionOpen::Opened:
      return 0;
    case SessionOpen::NoDevice:
      return Error(kExitNoDevice,
                   "no Zemb device found (looked for the maker's driver, a CD-ROM drive of "
                   "vendor Norva and a camera with the device's extension unit)");
    case SessionOpen::InUse:
      break;
  }
  return Error(kExitFailed, "the device at %s is in use by another run", device.devicePath.c_str());
}

int CheckDeviceRomType(ZembRun& run) {
  const uint8_t deviceType = run.Table().GetRomType();
  if (deviceType == kRomTypeUnset) {
    return run.Error(kExitFailed, "the device did not tell its ROM type (%s)",
                     run.LastErrorText().c_str());
  }
  if (deviceType != run.romType) {
    return run.Error(kExitFailed, "the device has an %s ROM, but %s describes an %s ROM",
                     RomTypeText(deviceType), run.options.config.c_str(), RomTypeText(run.romType));
  }
  return 0;
}

namespace {

const char* CommandWord(ZembCommand command) {
  switch (command) {
    case ZembCommand::Info:
      return "info ";
    case ZembCommand::Read:
      return "read ";
    case ZembCommand::Verify:
      return "verify ";
    case ZembCommand::Write:
      return "write ";
    case ZembCommand::Provision:
      return "provision ";
    default:
      return "";
  }
}

// The command word the error line's hint names, when the words got that far.
ZembCommand CommandOfWords(int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "info") return ZembCommand::Info;
    if (word == "read") return ZembCommand::Read;
    if (word == "verify") return ZembCommand::Verify;
    if (word == "write") return ZembCommand::Write;
    if (word == "provision") return ZembCommand::Provision;
    if (word.empty() || word[0] != '-') break;
  }
  return ZembCommand::None;
}

int RunCommand(ZembRun& run) {
  switch (run.options.command) {
    case ZembCommand::Info:
      return ZembInfo(run);
    case ZembCommand::Read:
      return ZembRead(run);
    case ZembCommand::Verify:
      return ZembVerify(run);
    case ZembCommand::Write:
      return ZembWrite(run);
    case ZembCommand::Provision:
      return ZembProvision(run);
    default:
      return kExitUsage;
  }
}

}  // namespace

int RunZemb(int argc, const char* const* argv, Host& host) {
  ZembOptions options;
  std::string error;
  if (!ParseZembArguments(argc, argv, &options, &error)) {
    host.WriteStderr("zemb: error: " + error + "\n");
    host.WriteStderr(std::string("Try 'zemb ") + CommandWord(CommandOfWords(argc, argv)) +
                     "--help'.\n");
    return kExitUsage;
  }
  if (options.command == ZembCommand::Help) {
    host.WriteStdout(ZembHelp(options.helpFor));
    return kExitOk;
  }
  if (options.command == ZembCommand::Version) {
    host.WriteStdout(Format("zemb version %s\n", kZembVersion));
    return kExitOk;
  }

  ZembRun run(host, options);
  if (!options.config.empty()) {
    if (!ReadRomConfig(run.diag, options.config.c_str(), &run.romType, &run.rom)) {
      return run.Error(kExitUsage, "the ROM configuration %s cannot be used",
                       options.config.c_str());
    }
    if (run.rom.RomSize <= 0) {
      return run.Error(kExitUsage, "the ROM configuration %s gives a ROM size of %d bytes",
                       options.config.c_str(), run.rom.RomSize);
    }
  }

  const int status = RunCommand(run);
  run.session.Release();
  return status;
}

}  // namespace zemb
