// Preloaded in front of umockdev's preload library by zemb_umockdev_bed:
// tells the bed, before each SG_IO goes out, whether the calling thread has
// SIGINT blocked. The kernel knows this when a signal arrives during the
// call; umockdev's preload blocks every signal while it carries the ioctl
// to the bed, which hides the tool's own mask from /proc. The answer ('1'
// blocked, '0' not) is written at the start of the file named by
// ZEMB_BED_SIGMASK_FILE.
#include <dlfcn.h>
#include <fcntl.h>
#include <scsi/sg.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
  using Ioctl = int (*)(int, unsigned long, ...);
  static Ioctl next = reinterpret_cast<Ioctl>(dlsym(RTLD_NEXT, "ioctl"));
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  if (request == SG_IO) {
    if (const char* file = std::getenv("ZEMB_BED_SIGMASK_FILE")) {
      sigset_t mask;
      pthread_sigmask(SIG_BLOCK, nullptr, &mask);
      const char blocked = sigismember(&mask, SIGINT) ? '1' : '0';
      const int out = open(file, O_WRONLY | O_CLOEXEC);
      if (out >= 0) {
        (void)!pwrite(out, &blocked, 1, 0);
        close(out);
      }
    }
  }
  return next(fd, request, arg);
}
