/* Linked into every binary of the builds that go to Linux client machines
   (cmake/glibc-floor.cmake): they carry their own C++ runtime, built for
   Debian 12's C library, and are linked against Debian 11's, so that they
   need no symbol version newer than glibc 2.17. What that runtime (and the
   C++ headers' inline code, and on 32-bit systems Debian 11's headers) may
   ask of a newer C library is answered here, with what glibc 2.17 and the
   kernel already offer: the linker sends the calls here (--wrap) or finds
   the variable here before it looks in the C library.

   Part of the platform layer: the only code besides platform_posix.cc that
   talks to the system. */
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

/* glibc 2.32: whether the process has one thread, which the C++ runtime
   reads to skip atomic operations. Always "no" here, which keeps it on its
   thread-safe path; hidden, so that each binary has its own. */
__attribute__((visibility("hidden"))) char __libc_single_threaded = 0;

/* Fills the buffer from the kernel's random source (getrandom, Linux 3.17),
   or /dev/urandom where the kernel is older. 0, or -1 with errno set. */
static int FillRandom(unsigned char* bytes, size_t length) {
  while (length > 0) {
    long got = syscall(SYS_getrandom, bytes, length, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && errno == ENOSYS) break;
    if (got < 0) return -1;
    bytes += got;
    length -= (size_t)got;
  }
  if (length == 0) return 0;
  int fd;
  do {
    fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  while (length > 0) {
    const ssize_t got = read(fd, bytes, length);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      close(fd);
      if (got == 0) errno = EIO;
      return -1;
    }
    bytes += got;
    length -= (size_t)got;
  }
  close(fd);
  return 0;
}

/* glibc 2.25; the C++ runtime's std::random_device. */
int __wrap_getentropy(void* buffer, size_t length) {
  if (length > 256) {
    errno = EIO;
    return -1;
  }
  return FillRandom((unsigned char*)buffer, length);
}

/* glibc 2.36; the C++ runtime's std::random_device("arc4random"). Cannot
   fail, like glibc's own: with no random source at all the process ends. */
uint32_t __wrap_arc4random(void) {
  uint32_t value;
  if (FillRandom((unsigned char*)&value, sizeof value) != 0) __builtin_trap();
  return value;
}

/* glibc 2.30; what std::condition_variable waits with on a steady clock.
   glibc 2.17's condition variables wait on the system clock
   (pthread_cond_timedwait): each wait here is one slice of at most 50 ms of
   it, then a spurious wake-up (which every caller expects), so that a
   change of the system clock moves the deadline by no more than a slice.
   The deadline itself is the clock the caller named. */
int __wrap_pthread_cond_clockwait(pthread_cond_t* condition, pthread_mutex_t* mutex,
                                  clockid_t clock, const struct timespec* deadline) {
  if (clock != CLOCK_MONOTONIC && clock != CLOCK_REALTIME) return EINVAL;
  if (clock == CLOCK_REALTIME) return pthread_cond_timedwait(condition, mutex, deadline);
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  long long left = (long long)(deadline->tv_sec - now.tv_sec) * 1000000000LL +
                   (deadline->tv_nsec - now.tv_nsec);
  if (left <= 0) return ETIMEDOUT;
  const long long kSlice = 50 * 1000000LL;
  if (left > kSlice) left = kSlice;
  struct timespec until;
  clock_gettime(CLOCK_REALTIME, &until);
  long long nanoseconds = until.tv_nsec + left;
  until.tv_sec += (time_t)(nanoseconds / 1000000000LL);
  until.tv_nsec = (long)(nanoseconds % 1000000000LL);
  const int outcome = pthread_cond_timedwait(condition, mutex, &until);
  if (outcome != ETIMEDOUT) return outcome;
  clock_gettime(CLOCK_MONOTONIC, &now);
  const int passed = now.tv_sec > deadline->tv_sec ||
                     (now.tv_sec == deadline->tv_sec && now.tv_nsec >= deadline->tv_nsec);
  return passed ? ETIMEDOUT : 0;
}

/* glibc 2.28 on 32-bit systems (x86, ARM): the fcntl that 2.28's headers
   bind to (the older one stays under an older version only). The system
   call itself, as both versions make it for every command but the
   record locks, which nothing here uses. */
int __wrap_fcntl(int fd, int command, ...) {
  va_list arguments;
  va_start(arguments, command);
  const long argument = va_arg(arguments, long);
  va_end(arguments);
#if defined(SYS_fcntl64)
  return (int)syscall(SYS_fcntl64, fd, command, argument);
#else
  return (int)syscall(SYS_fcntl, fd, command, argument);
#endif
}
