// The Linux kernel's own calls from a Windows test program under Wine.
// Wine runs a Windows program as a Linux process, so the kernel answers a
// system call made from it directly, past Wine: that is how a test plays the
// far end of a pseudo-terminal that Wine serves to the program as a COM
// port. x86-64 only; on Windows proper the calls do not exist (see
// RunningUnderWine).
#pragma once

#include <cstdint>
#include <string>

namespace qv::test::linux_calls {

// Whether this Windows program runs under Wine.
bool RunningUnderWine();

// Each returns the kernel's result: >= 0, or -errno.
int64_t Call(int64_t number, int64_t a = 0, int64_t b = 0, int64_t c = 0, int64_t d = 0);

int Open(const std::string& path, int flags, int mode = 0);
int Close(int fd);
int64_t Read(int fd, void* buffer, size_t n);
int64_t Write(int fd, const void* buffer, size_t n);
int Ioctl(int fd, unsigned long request, void* arg);
int IoctlValue(int fd, unsigned long request, long value);
struct TPollFd {
  int Fd;
  short Events;
  short REvents;
};
int Poll(TPollFd* fds, unsigned n, int timeoutMs);
int Pipe(int fds[2]);
int Symlink(const std::string& target, const std::string& link);
int Rename(const std::string& from, const std::string& to);
int Unlink(const std::string& path);

// The constants of the kernel's interface that the tests use.
constexpr int kRdWr = 02, kWrOnly = 01, kCreat = 0100, kTrunc = 01000, kNoCtty = 0400, kNonBlock = 04000,
              kCloExec = 02000000;
constexpr int kEIntr = 4, kEIo = 5, kEAgain = 11;
constexpr short kPollIn = 0x01, kPollErr = 0x08, kPollHup = 0x10, kPollNval = 0x20;

// The kernel's struct termios (TCGETS, TCSETS), with the bits the tests
// read.
struct TTermios {
  uint32_t Iflag, Oflag, Cflag, Lflag;
  uint8_t Line;
  uint8_t Cc[19];
};
constexpr unsigned long kTcGets = 0x5401, kTcSets = 0x5402, kTcSbrk = 0x5409, kFionRead = 0x541B,
                        kTiocGPtn = 0x80045430, kTiocSPtLck = 0x40045431;
constexpr uint32_t kIxon = 02000, kIxoff = 010000, kInpck = 020, kIgnpar = 04, kParmrk = 010;
constexpr uint32_t kCbaud = 010017, kCsize = 060, kCs7 = 040, kCs8 = 060, kCstopb = 0100, kParenb = 0400,
                   kParodd = 01000, kCrtscts = 020000000000u;
constexpr uint32_t kB9600 = 015, kB19200 = 016, kB115200 = 010002;
constexpr int kVmin = 6, kVtime = 5, kVstart = 8, kVstop = 9;

}  // namespace qv::test::linux_calls
