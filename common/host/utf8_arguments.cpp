// Apart from the rest of file_names.cpp: only the programs' main() needs
// the C runtime's command-line parser, and what else links the file names
// (the test driver, a DLL) must not import it.
#include "common/host/console_text.h"
#include "common/host/file_names.h"

#if defined(_WIN32)
#include "common/host/windows_api.h"

// The C runtime's parser of the UTF-16 command line, the one it parses the
// narrow one with for main(); exported by msvcrt and the UCRT alike.
struct ZembStartupInfo {
  int newMode;
};
extern "C" int __cdecl __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env, int wildcards,
                                      ZembStartupInfo* startup);
#endif

namespace zemb {

Utf8Arguments::Utf8Arguments(int argc, char** argv) {
#if defined(_WIN32)
  int count = 0;
  wchar_t** wide = nullptr;
  wchar_t** env = nullptr;
  ZembStartupInfo startup = {0};
  if (__wgetmainargs(&count, &wide, &env, 0, &startup) >= 0 && wide != nullptr && count == argc) {
    for (int i = 0; i < count; ++i) words_.push_back(Utf8FromWide(wide[i]));
  }
#endif
  if (words_.empty()) {
    for (int i = 0; i < argc; ++i) words_.emplace_back(argv[i] != nullptr ? argv[i] : "");
  }
  for (const std::string& word : words_) pointers_.push_back(word.c_str());
  pointers_.push_back(nullptr);
}

}  // namespace zemb
