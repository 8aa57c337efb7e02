// File names and command-line words are UTF-8 inside the tools on every
// system. Linux hands them over that way already; on Windows the command
// line is read as UTF-16 and every file name reaches the system as UTF-16
// through the wide calls. The narrow calls (fopen, CreateFileA, a
// std::filesystem::path made from a std::string) read a name in the ANSI
// code page, or worse, and lose every letter outside it: a folder such as
// C:\Users\Łukasz on a Western system, or any name on a UTF-8 one. Every
// file the tools open, create, rename or remove by a name they were given
// goes through the functions here.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace zemb {

// The program's arguments in UTF-8, for Run(argc, argv, host). On Windows
// they are parsed again from the UTF-16 command line by the C runtime's own
// rules (the same words main() got, with every letter kept); elsewhere, and
// should that fail, argv as given. Lives as long as the run.
class Utf8Arguments {
 public:
  Utf8Arguments(int argc, char** argv);
  Utf8Arguments(const Utf8Arguments&) = delete;
  Utf8Arguments& operator=(const Utf8Arguments&) = delete;

  int Count() const { return static_cast<int>(words_.size()); }
  const char* const* Words() const { return pointers_.data(); }

 private:
  std::vector<std::string> words_;
  std::vector<const char*> pointers_;  // words_, then a null pointer
};

// std::fopen of a UTF-8 name.
std::FILE* OpenFile(const std::string& path, const char* mode);

// Removes the file of a UTF-8 name; false when it could not (or was not
// there).
bool RemoveFile(const std::string& path);

// The path a UTF-8 name names, and back; a std::filesystem::path is only
// ever made from a name or turned into one through these.
std::filesystem::path FilePath(std::string_view utf8);
std::string FileName(const std::filesystem::path& path);

// UTF-16 of UTF-8 text; a byte that is not UTF-8 becomes U+FFFD. For the
// Windows host's wide calls (wchar_t is UTF-16 there).
std::wstring WideFromUtf8(std::string_view utf8);

// True when `text` is well-formed UTF-8 (ASCII included).
bool IsUtf8(std::string_view text);

}  // namespace zemb
