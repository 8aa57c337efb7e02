// Files written whole or not at all, input files that must be regular, and
// the progress line.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include "common/host/windows_api.h"
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
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

// FILE.zemb-lock, held from the moment a run takes FILE on until its file
// is in place: a second run writing the same FILE at the same time would
// replace the first one's file after the first had reported it, so it is
// turned away before it begins. The lock file goes when its holder lets it
// go; a run that is killed leaves it unlocked, and the next run takes it.
class ZembOutputFile::TargetLock {
 public:
  enum class Result { Taken, Busy, Failed };

  Result Take(const std::string& path, std::string* why) {
    path_ = path;
#if defined(_WIN32)
    // No sharing: a second open fails while this one lasts, and the file
    // goes with the handle.
    handle_ = CreateFileW(WideFromUtf8(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle_ != INVALID_HANDLE_VALUE) return Result::Taken;
    const DWORD error = GetLastError();
    if (error == ERROR_SHARING_VIOLATION) return Result::Busy;
    *why = "error " + std::to_string(error);
    return Result::Failed;
#else
    for (int attempt = 0; attempt < 100; ++attempt) {
      fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
      if (fd_ < 0) {
        *why = std::strerror(errno);
        return Result::Failed;
      }
      int rc;
      do {
        rc = ::flock(fd_, LOCK_EX | LOCK_NB);
      } while (rc != 0 && errno == EINTR);
      if (rc != 0) {
        const int error = errno;
        ::close(fd_);
        fd_ = -1;
        if (error == EWOULDBLOCK) return Result::Busy;
        *why = std::strerror(error);
        return Result::Failed;
      }
      // The holder before may have removed the file between this run's
      // open and its lock: only the file the name still gives counts.
      struct stat held {
      }, named{};
      if (::fstat(fd_, &held) == 0 && ::stat(path.c_str(), &named) == 0 &&
          held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
        return Result::Taken;
      }
      ::close(fd_);
      fd_ = -1;
    }
    *why = "it keeps being replaced";
    return Result::Failed;
#endif
  }

  ~TargetLock() {
#if defined(_WIN32)
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
#else
    if (fd_ >= 0) {
      // Removed while still held, so no run can take the name's old file.
      ::unlink(path_.c_str());
      ::close(fd_);
    }
#endif
  }

 private:
  std::string path_;
#if defined(_WIN32)
  HANDLE handle_ = INVALID_HANDLE_VALUE;
#else
  int fd_ = -1;
#endif
};

namespace {

// A file of this run's own beside `path`, created exclusively, so no other
// run's temporary file is ever reused or renamed in its place.
std::FILE* CreateTemporary(const std::string& path, std::string* name) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device entropy;
  std::mt19937 pick(entropy());
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string suffix;
    for (int i = 0; i < 8; ++i) suffix += kLetters[pick() % (sizeof kLetters - 1)];
    *name = path + ".zemb-part-" + suffix;
#if defined(_WIN32)
    const int fd = _wopen(WideFromUtf8(*name).c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY,
                          _S_IREAD | _S_IWRITE);
#else
    const int fd = ::open(name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
#endif
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return nullptr;
    }
#if defined(_WIN32)
    std::FILE* file = _fdopen(fd, "wb");
    if (file == nullptr) _close(fd);
#else
    std::FILE* file = ::fdopen(fd, "wb");
    if (file == nullptr) ::close(fd);
#endif
    if (file == nullptr) RemoveFile(*name);
    return file;
  }
  return nullptr;
}

}  // namespace

ZembOutputFile::ZembOutputFile() = default;

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
  auto lock = std::make_unique<TargetLock>();
  const std::string lockPath = path + ".zemb-lock";
  std::string why;
  switch (lock->Take(lockPath, &why)) {
    case TargetLock::Result::Taken:
      break;
    case TargetLock::Result::Busy:
      *error = "another zemb run is writing " + path + " (it holds " + lockPath +
               "); this run leaves " + path + " to it";
      return false;
    case TargetLock::Result::Failed:
      *error = "cannot create " + lockPath + " beside " + path + ": " + why;
      return false;
  }
  file_ = CreateTemporary(path, &temp_);
  if (file_ == nullptr) {
    *error = "cannot create a temporary file beside " + path + " (" + temp_ + ")";
    temp_.clear();
    return false;
  }
  lock_ = std::move(lock);
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
#if defined(_WIN32)
  // Without write-through the rename may sit in the cache after the call
  // returns, and a power cut brings the old file back.
  if (!MoveFileExW(WideFromUtf8(temp_).c_str(), WideFromUtf8(path_).c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    *error = Format("cannot replace %s (error %lu)", path_.c_str(),
                    static_cast<unsigned long>(GetLastError()));
    RemoveFile(temp_);
    return false;
  }
#else
  std::error_code ec;
  fs::rename(FilePath(temp_), FilePath(path_), ec);
  if (ec) {
    *error = "cannot replace " + path_ + ": " + ec.message();
    RemoveFile(temp_);
    return false;
  }
#endif
  temp_.clear();
  lock_.reset();
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
  lock_.reset();
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
