#include "common/host/file_names.h"

#include <system_error>

#include "common/host/console_text.h"

#if defined(_WIN32)
#include "common/host/windows_api.h"
#endif

namespace zemb {

namespace {

// The length of the well-formed UTF-8 sequence at text[i], 0 when there is
// none (overlong forms, surrogates and values past U+10FFFF included).
size_t Utf8SequenceAt(std::string_view text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
  const uint8_t lead = byte(i);
  if (lead < 0x80) return 1;
  size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
  if (length == 0 || lead > 0xF4 || i + length > text.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
  }
  const uint8_t second = byte(i + 1);
  if (lead == 0xE0 && second < 0xA0) return 0;   // overlong
  if (lead == 0xED && second >= 0xA0) return 0;  // surrogate
  if (lead == 0xF0 && second < 0x90) return 0;   // overlong
  if (lead == 0xF4 && second >= 0x90) return 0;  // past U+10FFFF
  return length;
}

}  // namespace

bool IsUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const size_t n = Utf8SequenceAt(text, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::wstring WideFromUtf8(std::string_view utf8) {
  std::wstring out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    const size_t n = Utf8SequenceAt(utf8, i);
    if (n == 0) {
      out += L'\xFFFD';
      ++i;
      continue;
    }
    const auto byte = [&](size_t k) {
      return static_cast<uint32_t>(static_cast<uint8_t>(utf8[k]));
    };
    uint32_t c = n == 1   ? byte(i)
                 : n == 2 ? ((byte(i) & 0x1F) << 6) | (byte(i + 1) & 0x3F)
                 : n == 3
                     ? ((byte(i) & 0x0F) << 12) | ((byte(i + 1) & 0x3F) << 6) | (byte(i + 2) & 0x3F)
                     : ((byte(i) & 0x07) << 18) | ((byte(i + 1) & 0x3F) << 12) |
                           ((byte(i + 2) & 0x3F) << 6) | (byte(i + 3) & 0x3F);
    i += n;
    if (sizeof(wchar_t) == 2 && c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<wchar_t>(0xD800 + (c >> 10));
      out += static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<wchar_t>(c);
    }
  }
  return out;
}

std::FILE* OpenFile(const std::string& path, const char* mode) {
#if defined(_WIN32)
  return _wfopen(WideFromUtf8(path).c_str(), WideFromUtf8(mode).c_str());
#else
  return std::fopen(path.c_str(), mode);
#endif
}

bool RemoveFile(const std::string& path) {
  std::error_code ec;
  return std::filesystem::remove(FilePath(path), ec);
}

std::filesystem::path FilePath(std::string_view utf8) {
#if defined(_WIN32)
  return std::filesystem::path(WideFromUtf8(utf8));
#else
  return std::filesystem::path(std::string(utf8));
#endif
}

std::string FileName(const std::filesystem::path& path) {
#if defined(_WIN32)
  return Utf8FromWide(path.native());
#else
  return path.native();
#endif
}

}  // namespace zemb
