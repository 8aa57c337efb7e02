// File names are UTF-8 inside the tools: the conversion the Windows host
// hands the system, and the round trip through std::filesystem.
#include "common/host/file_names.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/test_support.h"

namespace zemb {
namespace {

TEST(FileNames, Utf8IsTakenAsWrittenAndWhatIsNotIsReplaced) {
  const struct {
    const char* utf8;
    bool valid;
    std::wstring wide;
  } cases[] = {
      {"C:\\t\xE2\x82\xAC\xC5\x81\xE4\xB8\xAD\\img.bin", true, L"C:\\t\u20AC\u0141\u4E2D\\img.bin"},
      {"\xF0\x9F\x98\x80", true, L"\U0001F600"},  // outside the BMP: a surrogate pair on Windows
      {"t\x80.bin", false, L"t\uFFFD.bin"},       // a Windows-1252 euro sign is not UTF-8
      {"\xC0\xAF", false, L"\uFFFD\uFFFD"},       // overlong '/'
      {"\xED\xA0\x80", false, L"\uFFFD\uFFFD\uFFFD"},  // a surrogate
      {"\xE2\x82", false, L"\uFFFD\uFFFD"},            // cut short
      {"plain.cfg", true, L"plain.cfg"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsUtf8(c.utf8), c.valid) << c.utf8;
    EXPECT_EQ(WideFromUtf8(c.utf8), c.wide) << c.utf8;
  }
}

TEST(FileNames, AFolderOfAnyLettersIsCreatedOpenedAndRemovedByName) {
  test::ScratchDir dir;
  const std::string folder = dir.Path() + "/t\xE2\x82\xAC\xC5\x81\xE4\xB8\xAD";
  ASSERT_TRUE(std::filesystem::create_directory(FilePath(folder)));
  const std::string file = folder + "/img.bin";
  std::FILE* f = OpenFile(file, "wb");
  ASSERT_NE(f, nullptr);
  std::fputs("x", f);
  std::fclose(f);
  EXPECT_TRUE(std::filesystem::is_regular_file(FilePath(file)));
  EXPECT_EQ(FileName(FilePath(file)), file);
  EXPECT_TRUE(RemoveFile(file));
  EXPECT_FALSE(RemoveFile(file));
}

}  // namespace
}  // namespace zemb
