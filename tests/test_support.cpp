#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace zemb::test {

namespace fs = std::filesystem;

ScratchDir::ScratchDir() {
  previous_ = fs::current_path().string();
  std::string pattern = (fs::temp_directory_path() / "zemb-test-XXXXXX").string();
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back(0);
  if (mkdtemp(name.data()) == nullptr) ADD_FAILURE() << "cannot make a scratch directory";
  path_ = name.data();
  fs::current_path(path_);
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  fs::current_path(previous_, ignored);
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(path_, ignored);
}

void WriteFile(const std::string& name, const std::vector<uint8_t>& bytes) {
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

void WriteText(const std::string& name, const std::string& text) {
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out << text;
}

std::vector<uint8_t> ReadFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::string ReadText(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool FileExists(const std::string& name) {
  return fs::exists(name);
}

std::string WriteConfig(const std::string& name, const std::string& type, int64_t romSize,
                        int64_t pageSize, int64_t addressSize) {
  std::ostringstream text;
  text << "ROM_TYPE " << type << "\nROM_NAME W25Q\nROM_VENDOR Zemb\nROM_SIZE " << romSize
       << "\nPAGE_SIZE " << pageSize << "\nADDRESS_SIZE " << addressSize << "\n";
  WriteText(name, text.str());
  return name;
}

std::vector<uint8_t> Pattern(size_t count, uint32_t salt) {
  std::vector<uint8_t> bytes(count);
  uint32_t x = 0x9E3779B9u ^ salt;
  for (size_t i = 0; i < count; ++i) {
    x = x * 1664525u + 1013904223u;
    bytes[i] = static_cast<uint8_t>(x >> 24);
    if (bytes[i] == 0xFF) bytes[i] = 0x5A;
  }
  return bytes;
}

std::string RunTool(ToolMain tool, sim::SimHost& host, const std::vector<std::string>& words) {
  host.ClearConsole();
  std::vector<const char*> argv;
  for (const auto& word : words) argv.push_back(word.c_str());
  argv.push_back(nullptr);
  int status = tool(static_cast<int>(words.size()), argv.data(), host);
  EXPECT_EQ(status, 0) << "the tools exit with status 0 whatever the outcome";
  return host.Stdout();
}

ToolResult RunToolForStatus(ToolMain tool, sim::SimHost& host, const char* program,
                            const std::vector<std::string>& words) {
  host.ClearConsole();
  std::vector<const char*> argv = {program};
  for (const auto& word : words) argv.push_back(word.c_str());
  argv.push_back(nullptr);
  ToolResult r;
  r.status = tool(static_cast<int>(argv.size() - 1), argv.data(), host);
  r.out = host.Stdout();
  r.err = host.Stderr();
  return r;
}

int RunCommand(const std::string& command, std::string* output) {
  std::string full = command + " 2>&1";
  FILE* pipe = popen(full.c_str(), "r");
  if (pipe == nullptr) return -1;
  output->clear();
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output->append(buffer, n);
  int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace zemb::test
