#include "common/host/regular_file.h"

#include <sys/stat.h>

#include "common/host/file_names.h"

#if defined(_WIN32)
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace zemb {

std::FILE* OpenRegularFile(const char* path, const char* mode) {
  if (path == nullptr || mode == nullptr) return nullptr;
#if defined(_WIN32)
  // Windows has no FIFOs in the file system; a pipe or a console name opens
  // at once, and the type check below refuses it before any read.
  std::FILE* file = OpenFile(path, mode);
  if (file == nullptr) return nullptr;
  struct _stat64 status;
  if (_fstat64(_fileno(file), &status) != 0 || (status.st_mode & _S_IFMT) != _S_IFREG) {
    std::fclose(file);
    return nullptr;
  }
  return file;
#else
  // O_NONBLOCK lets the open of a FIFO return at once; the type is then
  // checked on the open descriptor, so nothing can swap the file in between.
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return nullptr;
  struct stat status;
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    ::close(fd);
    return nullptr;
  }
  std::FILE* file = ::fdopen(fd, mode);
  if (file == nullptr) ::close(fd);
  return file;
#endif
}

}  // namespace zemb
