#include "tests/support/LinuxCalls.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace qv::test::linux_calls {

bool RunningUnderWine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

int64_t Call(int64_t number, int64_t a, int64_t b, int64_t c, int64_t d) {
  int64_t result;
  register int64_t r10 asm("r10") = d;
  asm volatile("syscall" : "=a"(result) : "a"(number), "D"(a), "S"(b), "d"(c), "r"(r10) : "rcx", "r11", "memory");
  return result;
}

namespace {
int64_t Ptr(const void* p) {
  return static_cast<int64_t>(reinterpret_cast<intptr_t>(p));
}
enum : int64_t {
  kRead = 0,
  kWrite = 1,
  kOpen = 2,
  kClose = 3,
  kPoll = 7,
  kIoctl = 16,
  kRename = 82,
  kUnlink = 87,
  kSymlink = 88,
  kPipe2 = 293
};
}  // namespace

int Open(const std::string& path, int flags, int mode) {
  return static_cast<int>(Call(kOpen, Ptr(path.c_str()), flags, mode));
}
int Close(int fd) {
  return static_cast<int>(Call(kClose, fd));
}
int64_t Read(int fd, void* buffer, size_t n) {
  return Call(kRead, fd, Ptr(buffer), static_cast<int64_t>(n));
}
int64_t Write(int fd, const void* buffer, size_t n) {
  return Call(kWrite, fd, Ptr(buffer), static_cast<int64_t>(n));
}
int Ioctl(int fd, unsigned long request, void* arg) {
  return static_cast<int>(Call(kIoctl, fd, static_cast<int64_t>(request), Ptr(arg)));
}
int IoctlValue(int fd, unsigned long request, long value) {
  return static_cast<int>(Call(kIoctl, fd, static_cast<int64_t>(request), value));
}
int Poll(TPollFd* fds, unsigned n, int timeoutMs) {
  return static_cast<int>(Call(kPoll, Ptr(fds), n, timeoutMs));
}
int Pipe(int fds[2]) {
  return static_cast<int>(Call(kPipe2, Ptr(fds), kCloExec));
}
int Symlink(const std::string& target, const std::string& link) {
  return static_cast<int>(Call(kSymlink, Ptr(target.c_str()), Ptr(link.c_str())));
}
int Rename(const std::string& from, const std::string& to) {
  return static_cast<int>(Call(kRename, Ptr(from.c_str()), Ptr(to.c_str())));
}
int Unlink(const std::string& path) {
  return static_cast<int>(Call(kUnlink, Ptr(path.c_str())));
}

}  // namespace qv::test::linux_calls
