// zemb's main flow: parse, read the configuration, find the device, run the
// command, release the device; every outcome is an exit status.
#include "zemb/zemb.h"

#include <cstdarg>
#include <string_view>

#include "common/device/unit_list.h"
#include "common/rom/rom_config.h"
#include "zemb/provision.h"
#include "zemb/station/station.h"
#include "zemb/zemb_run.h"

namespace zemb {

namespace {

enum class Stream { Out, Err };

// Where a run's text goes: the unit's sink while several units run, else
// the console, where each standard error line starts "zemb: ". Error text
// comes as whole lines, "\n" included.
void Emit(ZembRun& run, Stream stream, const std::string& text) {
  if (run.sink != nullptr) {
    std::lock_guard<std::mutex> hold(run.sink->mutex);
    (stream == Stream::Out ? run.sink->out : run.sink->err) += text;
    return;
  }
  if (stream == Stream::Out) {
    run.host.WriteStdout(text);
  } else {
    run.host.WriteStderr("zemb: " + text);
  }
}

}  // namespace

void ZembRun::Out(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatV(format, args);
  va_end(args);
  Emit(*this, Stream::Out, text);
}

int ZembRun::Error(int status, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatV(format, args);
  va_end(args);
  lastError = text;
  Emit(*this, Stream::Err, "error: " + text + "\n");
  return status;
}

void ZembRun::Note(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatV(format, args);
  va_end(args);
  Emit(*this, Stream::Err, text + "\n");
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

const char* ZembRun::FaceId() const {
  return FaceName(device.path);
}

const char* ZembRun::FaceWords() const {
  return zemb::FaceWords(device.path);
}

int ZembRun::OpenDevice() {
  if (target == nullptr && !options.devices.empty()) {
    // The one unit --device names, looked up now that the inputs are known
    // to be good.
    std::vector<UnitTarget> named;
    if (int status = ChooseUnits(*this, &named)) return status;
    chosen = named.front();
    target = &chosen;
  }
  FoundDevice found = target != nullptr ? FindUnitAt(host, nullptr, GetDriverDeviceHandle,
                                                     target->face, target->devicePath)
                                        : FindDevice(host, nullptr, GetDriverDeviceHandle);
  if (found.path == DevicePath::None) {
    if (target == nullptr) return NoDeviceError();
    return Error(kExitNoDevice, "the unit %s (%s face, %s) is not there any more",
                 target->id.c_str(), FaceName(target->face), target->devicePath.c_str());
  }
  switch (session.Open(std::move(found))) {
    case SessionOpen::Opened:
      return 0;
    case SessionOpen::NoDevice:
      return NoDeviceError();
    case SessionOpen::InUse:
      break;
  }
  return Error(kExitFailed, "the device at %s is in use by another run", device.devicePath.c_str());
}

int ZembRun::NoDeviceError() {
  return Error(kExitNoDevice,
               "no Zemb device found (looked for the maker's driver, a CD-ROM drive of "
               "vendor Norva and a camera with the device's extension unit)");
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

// The command word the error line's hint names, when the words got that far.
std::string HintedCommand(int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    const ZembCommand command = ZembCommandNamed(argv[i]);
    if (command != ZembCommand::None) return std::string(ZembCommandName(command)) + " ";
    if (argv[i][0] != '-') break;
  }
  return "";
}

using Command = int (*)(ZembRun&);

// What each command runs; help and version never reach a device.
constexpr struct {
  ZembCommand command;
  Command run;
} kCommandRuns[] = {
    {ZembCommand::Info, ZembInfo},           {ZembCommand::Read, ZembRead},
    {ZembCommand::Verify, ZembVerify},       {ZembCommand::Write, ZembWrite},
    {ZembCommand::Provision, ZembProvision}, {ZembCommand::List, ZembList},
    {ZembCommand::Pool, ZembPool},
};

Command CommandOf(ZembCommand command) {
  for (const auto& entry : kCommandRuns) {
    if (entry.command == command) return entry.run;
  }
  return nullptr;
}

// One unit: the first discovery finds, or the one --device names.
int RunCommand(ZembRun& run, Command command) {
  const int status = command(run);
  run.session.Release();
  return status;
}

}  // namespace

int RunZemb(int argc, const char* const* argv, Host& host) {
  return RunZemb(argc, argv, host, nullptr);
}

int RunZemb(int argc, const char* const* argv, Host& host, HostFactory makeHost) {
  // The station has a command line of its own.
  if (argc >= 2 && std::string_view(argv[1]) == "station") {
    return RunStation(argc, argv, host, makeHost);
  }
  ZembOptions options;
  std::string error;
  if (!ParseZembArguments(argc, argv, &options, &error)) {
    host.WriteStderr("zemb: error: " + error + "\n");
    host.WriteStderr("Try 'zemb " + HintedCommand(argc, argv) + "--help'.\n");
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

  const Command command = CommandOf(options.command);
  if (command == nullptr) return kExitUsage;
  if (options.command == ZembCommand::List || (!options.all && options.devices.size() <= 1)) {
    return RunCommand(run, command);
  }
  // Several units at once: the inputs are checked once, before any unit.
  const int checked =
      options.command == ZembCommand::Provision ? CheckProvisionInputs(run) : CheckWriteInputs(run);
  if (checked != 0) return checked;
  std::vector<UnitTarget> targets;
  if (int status = ChooseUnits(run, &targets)) return status;
  if (options.command == ZembCommand::Provision) MarkClones(&targets);
  return RunOnUnits(run, targets, makeHost, command);
}

}  // namespace zemb
