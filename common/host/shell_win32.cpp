// Commands through cmd.exe /c: the child in a job object, so the time limit
// ends whatever the command started too, and its output read by a thread of
// its own (a pipe read blocks, and the wait must not).
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "common/host/host.h"
#include "common/host/windows_api.h"

namespace zemb {

namespace {

std::string LastErrorWords(const char* what) {
  return std::string(what) + " (error " + std::to_string(::GetLastError()) + ")";
}

bool SameName(const std::string& entry, const std::string& name) {
  if (entry.size() <= name.size() || entry[name.size()] != '=') return false;
  for (size_t i = 0; i < name.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(entry[i])) !=
        std::toupper(static_cast<unsigned char>(name[i]))) {
      return false;
    }
  }
  return true;
}

// This process's environment with `environment` put in: "NAME=value\0"...
// "\0", as CreateProcessA takes it.
std::string EnvironmentBlock(const ShellEnvironment& environment) {
  std::string block;
  if (char* own = ::GetEnvironmentStringsA(); own != nullptr) {
    for (const char* p = own; *p != 0; p += std::strlen(p) + 1) {
      const std::string entry = p;
      bool replaced = false;
      for (const auto& [name, value] : environment) replaced = replaced || SameName(entry, name);
      if (!replaced) block.append(entry).push_back('\0');
    }
    ::FreeEnvironmentStringsA(own);
  }
  for (const auto& [name, value] : environment) block.append(name + "=" + value).push_back('\0');
  block.push_back('\0');
  return block;
}

struct Reader {
  HANDLE pipe = nullptr;
  std::string output;
};

DWORD WINAPI ReadOutput(LPVOID context) {
  Reader& reader = *static_cast<Reader*>(context);
  char buffer[4096];
  DWORD n = 0;
  while (::ReadFile(reader.pipe, buffer, sizeof buffer, &n, nullptr) && n > 0) {
    reader.output.append(buffer, n);
    if (reader.output.size() > kShellOutputKept) {
      reader.output.erase(0, reader.output.size() - kShellOutputKept);
    }
  }
  return 0;
}

}  // namespace

ShellResult RunSystemShell(const std::string& command, const ShellEnvironment& environment,
                           uint32_t timeoutMs) {
  ShellResult result;
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!::CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
    result.error = LastErrorWords("cannot make a pipe");
    return result;
  }
  ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  HANDLE input = ::CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               OPEN_EXISTING, 0, nullptr);
  HANDLE job = ::CreateJobObjectA(nullptr, nullptr);
  if (job != nullptr) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    ::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
  }

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;
  PROCESS_INFORMATION process{};
  std::string line = "cmd.exe /c " + command;
  std::string block = EnvironmentBlock(environment);
  const BOOL created =
      ::CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED, block.data(),
                       nullptr, &startup, &process);
  if (!created) result.error = LastErrorWords("cannot start cmd.exe");
  ::CloseHandle(writeEnd);
  if (input != INVALID_HANDLE_VALUE) ::CloseHandle(input);
  if (!created) {
    ::CloseHandle(readEnd);
    if (job != nullptr) ::CloseHandle(job);
    return result;
  }
  if (job != nullptr) ::AssignProcessToJobObject(job, process.hProcess);
  ::ResumeThread(process.hThread);
  ::CloseHandle(process.hThread);
  result.started = true;

  // On the heap: a reader that never ends (a pipe some stray process still
  // holds) keeps its buffer rather than reading into freed memory.
  auto* reader = new Reader{readEnd, {}};
  HANDLE readerThread = ::CreateThread(nullptr, 0, ReadOutput, reader, 0, nullptr);
  const DWORD waited = ::WaitForSingleObject(process.hProcess, timeoutMs);
  if (waited == WAIT_OBJECT_0) {
    DWORD code = 0;
    ::GetExitCodeProcess(process.hProcess, &code);
    result.exitStatus = static_cast<int>(code);
  } else {
    result.timedOut = true;
  }
  if (readerThread == nullptr) {
    result.error = LastErrorWords("cannot read the command's output");
  } else if (result.timedOut || ::WaitForSingleObject(readerThread, 500) != WAIT_OBJECT_0) {
    // Past its time, or something it left running holds the pipe open:
    // the command goes with everything it started.
    if (job != nullptr) {
      ::TerminateJobObject(job, 1);
    } else {
      ::TerminateProcess(process.hProcess, 1);
    }
  }
  const bool readerEnded =
      readerThread == nullptr || ::WaitForSingleObject(readerThread, 5000) == WAIT_OBJECT_0;
  if (readerThread != nullptr) ::CloseHandle(readerThread);
  if (readerEnded) {
    result.output = reader->output;
    delete reader;
    ::CloseHandle(readEnd);
  }
  ::CloseHandle(process.hProcess);
  if (job != nullptr) ::CloseHandle(job);
  return result;
}

}  // namespace zemb
