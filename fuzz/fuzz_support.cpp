#include "fuzz/fuzz_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace zemb::fuzz {

namespace fs = std::filesystem;

void Fail(const char* file, int line, const char* what) {
  std::fprintf(stderr, "%s:%d: property broken: %s\n", file, line, what);
  std::abort();
}

namespace {

std::string g_scratch;

void RemoveScratch() {
  std::error_code ignored;
  if (!g_scratch.empty()) fs::remove_all(g_scratch, ignored);
}

void Put(const char* name, const std::string& text) {
  std::ofstream(name, std::ios::binary | std::ios::trunc) << text;
}

}  // namespace

void EnterScratchDirectory() {
  if (!g_scratch.empty()) return;
  std::string pattern = (fs::temp_directory_path() / "zemb-fuzz-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) Fail(__FILE__, __LINE__, "mkdtemp");
  g_scratch = pattern;
  fs::current_path(g_scratch);
  std::atexit(RemoveScratch);
  Put("spi.cfg",
      "ROM_TYPE SPI\nROM_NAME W25Q\nROM_VENDOR Zemb\nROM_SIZE 65536\nPAGE_SIZE 256\n"
      "ADDRESS_SIZE 3\n");
  Put("i2c.cfg", "A I2C B x C y D 65536 E 64 F 2");
  Put("bad.cfg", "ROM_TYPE NAND\nROM_NAME x\nROM_VENDOR y\nROM_SIZE 0x100\nPAGE_SIZE 65536\n");
  Put("empty.cfg", "");
  Put("hwfw.bin", std::string(300, '\x11'));
  Put("desc.bin", std::string(100, '\x22'));
  Put("image.iso", std::string(5000, '\x33'));
  std::error_code ignored;
  fs::create_directory("folder", ignored);
}

Words::Words(const uint8_t* data, size_t size, const char* program, size_t maxWords) {
  words_.emplace_back(program);
  std::string word;
  bool inWord = false;
  for (size_t i = 0; i <= size && words_.size() <= maxWords; ++i) {
    const char c = i < size ? static_cast<char>(data[i]) : '\0';
    const bool separator = c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\0';
    if (separator) {
      if (inWord) words_.push_back(word);
      word.clear();
      inWord = false;
    } else {
      word.push_back(c == '/' || c == '\\' ? '_' : c);
      inWord = true;
    }
  }
  for (const std::string& w : words_) pointers_.push_back(w.c_str());
  pointers_.push_back(nullptr);
}

}  // namespace zemb::fuzz
