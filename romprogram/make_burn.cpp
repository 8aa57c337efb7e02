// MAKE composes the Kesh file from the HW/FW, DESC and IMG files; BURN
// writes a Kesh file (or any file no longer than the ROM) from address 0.
#include <array>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>

#include "common/device/reporting.h"
#include "common/rom/rom_layout.h"
#include "romprogram/image_steps.h"
#include "romprogram/romprogram.h"

namespace zemb {

namespace {

// The new image is written beside the Kesh file and replaces it only when
// it is whole, so a failed MAKE leaves the operator's previous file.
constexpr const char* kKeshTempName = "KESH_ROM_FILE.bin.tmp";

constexpr const char* kCannotOpenRomFile = "    Cannot open ROM file !!!\n";

class KeshOutput {
 public:
  ~KeshOutput() { Discard(); }

  bool Create() {
    file_ = std::fopen(kKeshTempName, "wb");
    if (file_ == nullptr) return false;
    // The image arrives in 4096-byte pieces; written one by one, each is a
    // system call of its own and a large image takes several times as long
    // as copying the file. The stream gathers them into large writes.
    std::setvbuf(file_, buffer_.get(), _IOFBF, kOutputBufferSize);
    return true;
  }

  void Write(const uint8_t* data, size_t length) {
    if (failed_ || length == 0) return;
    if (std::fwrite(data, 1, length, file_) != length) failed_ = true;
  }

  void Fill(uint8_t value, size_t length) {
    std::array<uint8_t, kImageChunk> block;
    block.fill(value);
    while (length > 0 && !failed_) {
      const size_t n = length < block.size() ? length : block.size();
      Write(block.data(), n);
      length -= n;
    }
  }

  // Copies the whole of `input`, chunk by chunk. False when the input could
  // not be read to its end; a failed write shows at Finish.
  bool Copy(InputFile& input) {
    std::array<uint8_t, kImageChunk> chunk;
    while (input.Remaining() > 0 && !failed_) {
      const uint32_t n = static_cast<uint32_t>(input.Remaining() < chunk.size() ? input.Remaining()
                                                                                : chunk.size());
      if (!input.Read(chunk.data(), n)) return false;
      Write(chunk.data(), n);
    }
    return true;
  }

  // Flushes and closes the temporary file; true when every byte reached it.
  bool Finish() {
    if (std::fflush(file_) != 0 || std::ferror(file_)) failed_ = true;
    if (std::fclose(file_) != 0) failed_ = true;
    file_ = nullptr;
    return !failed_;
  }

  // Puts the finished image in place of the Kesh file. std::filesystem's
  // rename replaces an existing target on Windows too.
  bool Commit() {
    std::error_code error;
    std::filesystem::rename(kKeshTempName, kKeshFileName, error);
    if (error) return false;
    committed_ = true;
    return true;
  }

 private:
  void Discard() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
    if (!committed_) std::remove(kKeshTempName);
  }

  static constexpr size_t kOutputBufferSize = 256 * 1024;
  // The stream's buffer; the stream is closed (Finish, Discard) before it goes.
  std::unique_ptr<char[]> buffer_ = std::make_unique<char[]>(kOutputBufferSize);
  std::FILE* file_ = nullptr;
  bool failed_ = false;
  bool committed_ = false;
};

// A length as the messages print it: "%d" for every length a ROM can hold,
// and the true value for a larger file.
long long Printed(uint64_t length) {
  return static_cast<long long>(length);
}

}  // namespace

int MakeBinFile(Console& console, RomProgramParameters& p) {
  ShowHeading(console, "Make - ROM Bin file            \n\n");

  // Every input is opened before the output exists.
  InputFile hwfw, desc, image;
  const bool inputsOpen = hwfw.Open(p.HwFwPath) && desc.Open(p.DescPath);
  if (p.ImagePath != nullptr)
    image.Open(p.ImagePath);  // an image that cannot be opened is left out
  hwfw.ReadAhead();
  desc.ReadAhead();
  image.ReadAhead();
  KeshOutput output;
  if (!inputsOpen || !output.Create()) {
    console.WriteAndLog(kCannotOpenRomFile);
    return 0;
  }

  console.PrintAndLog("    RomFileLength %lld\n", Printed(hwfw.Length()));
  if (hwfw.Length() > kHwFwSize) {
    console.WriteAndLog("    HW/FW Data Length exceed Default 32kB size !!!\n");
    return 0;
  }
  // The DESC file may fill the descriptor and misc regions; more would push
  // the image out of its place.
  if (desc.Length() > kKeshDescSpan) {
    console.PrintAndLog("    Desc File Length %lld exceed %u size !!!\n", Printed(desc.Length()),
                        static_cast<unsigned>(kKeshDescSpan));
    return 0;
  }
  uint32_t imageLength = 0;
  if (image.IsOpen()) {
    console.PrintAndLog("    ImgFileLength %lld\n", Printed(image.Length()));
    // The header's entry and the ROM's addresses are 32 bits wide.
    constexpr uint64_t kLongestImage = 0xFFFFFFFFull - kImageAddress;
    if (image.Length() > kLongestImage) {
      console.PrintAndLog("    Img File Length %lld exceed %llu size !!!\n",
                          Printed(image.Length()), static_cast<unsigned long long>(kLongestImage));
      return 0;
    }
    imageLength = static_cast<uint32_t>(image.Length());
  }

  const auto header = EncodeRomHeader(DefaultRomHeader(imageLength));
  output.Write(header.data(), header.size());
  if (!output.Copy(hwfw)) {
    console.WriteAndLog("    Cannot read HW/FW file !!!\n");
    return 0;
  }
  output.Fill(0xFF, kHwFwSize - hwfw.Length());
  console.PrintAndLog("    DescFileLength %lld\n", Printed(desc.Length()));
  if (!output.Copy(desc)) {
    console.WriteAndLog("    Cannot read DESC file !!!\n");
    return 0;
  }
  output.Fill(0xFF, kKeshDescSpan - desc.Length());
  if (image.IsOpen() && !output.Copy(image)) {
    console.WriteAndLog("    Cannot read IMG file !!!\n");
    return 0;
  }
  if (!output.Finish()) {
    console.PrintAndLog("    Cannot write %s !!!\n", kKeshFileName);
    return 0;
  }
  if (!output.Commit()) {
    console.PrintAndLog("    Cannot replace %s !!!\n", kKeshFileName);
    return 0;
  }
  return 1;
}

int BurnBinFile(Console& console, RomAccessTable& rom, RomProgramParameters& p) {
  const uint8_t deviceType = rom.GetRomType();
  ShowRomAccessHeading(console, "Burning", p.RomType);
  if (!RomTypeMatches(console, p.RomType, deviceType)) return 0;

  InputFile file;
  if (!file.Open(p.BinPath)) {
    console.WriteAndLog("    Cannot open BIN file !!!\n");
    return 0;
  }
  console.PrintAndLog("    BinFileLength %lld\n", Printed(file.Length()));
  if (!EndsWithinRom(file.Length(), p.Rom.RomSize)) {
    console.WriteAndLog("    Bin File Length exceed ROM size !!!\n");
    return 0;
  }
  const uint32_t length = static_cast<uint32_t>(file.Length());

  if (deviceType == kRomTypeSpi) {
    console.WriteAndLog("    Erase Bin file ...\n");
    if (!EraseSectors(console, rom, p.Rom, 0, length)) return 0;
  }
  console.WriteAndLog("\n");
  console.WriteAndLog("    Write Bin file to ROM\n");
  if (!WriteRegionVerified(console, rom, p.Rom, file, length, 0,
                           "    Cannot read BIN file !!!\n")) {
    return 0;
  }
  return 1;
}

}  // namespace zemb
