// Files written whole or not at all, input files that must be regular, and
// the progress line.
#include <filesystem>
#include <system_error>

#if defined(_WIN32)
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include "common/host/file_names.h"
#include "common/host/regular_file.h"
#include "zemb/zemb_run.h"

namespace zemb {

namespace fs = std::filesystem;

std::string Hex32(uint64_t value) {
  return Format("0x%08llX", static_cast<unsigned long long>(value));
}

std::string Counted(uint64_t count, const char* noun) {
  return Format("%llu %s%s", static_cast<unsigned long long>(count), noun, count == 1 ? "" : "s");
}

// --- Input ---------------------------------------------------------------

ZembInputFile::~ZembInputFile() {
  if (file_ != nullptr) std::fclose(file_);
}

bool ZembInputFile::Open(const std::string& path, std::string* error) {
  std::error_code ec;
  // Looked at before opening: opening a FIFO for reading blocks until a
  // writer comes, and a device may never end.
  const fs::file_status status = fs::status(FilePath(path), ec);
  if (ec || !fs::exists(status)) {
    *error = "cannot open " + path + ": no such file";
    return false;
  }
  if (!fs::is_regular_file(status)) {
    *error = "cannot open " + path + ": not a regular file";
    return false;
  }
  // Opened without blocking and checked again: the name may have been
  // given to a FIFO since it was looked at.
  file_ = OpenRegularFile(path.c_str(), "rb");
  if (file_ == nullptr) {
    *error = "cannot open " + path + " for reading";
    return false;
  }
  const uintmax_t size = fs::file_size(FilePath(path), ec);
  if (ec) {
    *error = "cannot tell the size of " + path;
    return false;
  }
  size_ = size;
  return true;
}

bool ZembInputFile::Read(uint8_t* destination, size_t count) {
  return file_ != nullptr && std::fread(destination, 1, count, file_) == count;
}

// --- Output --------------------------------------------------------------

ZembOutputFile::~ZembOutputFile() {
  Discard();
}

bool ZembOutputFile::Open(const std::string& path, std::string* error) {
  std::error_code ec;
  const fs::file_status target = fs::symlink_status(FilePath(path), ec);
  if (!ec && fs::exists(target) && !fs::is_regular_file(target)) {
    *error = path + " exists and is not a regular file; it is left alone";
    return false;
  }
  temp_ = path + ".zemb-part";
  const fs::file_status temp = fs::symlink_status(FilePath(temp_), ec);
  if (!ec && fs::exists(temp) && !fs::is_regular_file(temp)) {
    *error = temp_ + " is in the way and is not a regular file";
    return false;
  }
  file_ = OpenFile(temp_, "wb");
  if (file_ == nullptr) {
    *error = "cannot create " + temp_ + " beside " + path;
    return false;
  }
  path_ = path;
  failed_ = false;
  return true;
}

bool ZembOutputFile::Write(const uint8_t* data, size_t count) {
  if (file_ == nullptr || failed_) return false;
  if (std::fwrite(data, 1, count, file_) != count) failed_ = true;
  return !failed_;
}

bool ZembOutputFile::Commit(std::string* error) {
  if (file_ == nullptr) {
    *error = "no file is open";
    return false;
  }
  bool ok = !failed_ && std::fflush(file_) == 0;
#if defined(_WIN32)
  ok = ok && _commit(_fileno(file_)) == 0;
#else
  ok = ok && fsync(fileno(file_)) == 0;
#endif
  ok = std::fclose(file_) == 0 && ok;
  file_ = nullptr;
  if (!ok) {
    *error = "cannot write " + temp_ + " (disk full?)";
    RemoveFile(temp_);
    return false;
  }
  std::error_code ec;
  fs::rename(FilePath(temp_), FilePath(path_), ec);
  if (ec) {
    *error = "cannot replace " + path_ + ": " + ec.message();
    RemoveFile(temp_);
    return false;
  }
  temp_.clear();
#if !defined(_WIN32)
  // The rename reaches the disk with its folder.
  fs::path folder = FilePath(path_).parent_path();
  if (folder.empty()) folder = ".";
  const int fd = ::open(folder.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
#endif
  return true;
}

void ZembOutputFile::Discard() {
  if (file_ != nullptr) {
    std::fclose(file_);
    file_ = nullptr;
  }
  if (!temp_.empty()) {
    RemoveFile(temp_);
    temp_.clear();
  }
}

// --- Progress ------------------------------------------------------------

ZembProgress::ZembProgress(Host& host, const char* verb, uint64_t total, UnitSink* sink)
    : host_(host),
      sink_(sink),
      verb_(verb),
      total_(total),
      terminal_(sink == nullptr && host.StderrIsTerminal()),
      startMs_(host.TickCountMs()) {
  if (sink_ != nullptr) {
    sink_->done = 0;
    sink_->total = total;
  }
}

void ZembProgress::Update(uint64_t done) {
  if (sink_ != nullptr) sink_->done = done;
  if (!terminal_) return;
  const uint64_t now = host_.TickCountMs();
  // A redraw at most ten times a second, and always the last one.
  if (drawn_ && done < total_ && now - lastDrawMs_ < 100) return;
  lastDrawMs_ = now;
  Draw(done);
}

void ZembProgress::Draw(uint64_t done) {
  const uint64_t elapsedMs = host_.TickCountMs() - startMs_;
  const unsigned percent = total_ == 0 ? 100 : static_cast<unsigned>(done * 100 / total_);
  std::string line =
      Format("\r%s %3u%%  %llu of %llu bytes", verb_, percent,
             static_cast<unsigned long long>(done), static_cast<unsigned long long>(total_));
  if (elapsedMs >= 500 && done > 0) {
    const double perSecond = static_cast<double>(done) * 1000.0 / static_cast<double>(elapsedMs);
    const uint64_t leftS =
        static_cast<uint64_t>(static_cast<double>(total_ - done) / perSecond + 0.5);
    line += Format("  %.1f KiB/s  %llu:%02llu left", perSecond / 1024.0,
                   static_cast<unsigned long long>(leftS / 60),
                   static_cast<unsigned long long>(leftS % 60));
  }
  const size_t width = line.size();
  if (width < lastWidth_) line.append(lastWidth_ - width, ' ');
  lastWidth_ = width;
  host_.WriteStderr(line);
  drawn_ = true;
}

void ZembProgress::Finish() {
  if (!drawn_) return;
  host_.WriteStderr("\r" + std::string(lastWidth_, ' ') + "\r");
  drawn_ = false;
}

}  // namespace zemb
