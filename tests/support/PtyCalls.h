// What TPty needs of the system, so that one pseudo-terminal pair serves
// both a Linux test program (the C library) and a Windows one under Wine
// (the kernel's calls directly, LinuxCalls.h). Results as the C library's:
// -1 for a failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qv::test::pty_calls {

// Opens a master with its slave unlocked; gives the slave's path.
int OpenMaster(std::string& slavePath);
int OpenSlave(const std::string& path);
// Raw line: no echo, no canonical input, no output processing.
void MakeRaw(int fd);
int64_t Read(int fd, void* buffer, size_t n);
int64_t Write(int fd, const void* buffer, size_t n);
void Close(int fd);
bool MakePipe(int fds[2]);
// Waits for input on fd or on wake (-1: none); timeoutMs -1 waits for good.
// Gives -1 on failure, 0 on time-out, else bit 1 for fd ready, bit 2 for a
// hang-up of fd, bit 4 for wake, bit 8 for an error or an invalid fd.
int WaitInput(int fd, int wake, int timeoutMs);
void SleepMs(int ms);
// The port name the port under test opens for this slave, and the name's
// return when the pair goes. On Linux the slave's own path.
std::string ClaimPortName(const std::string& slavePath, int& slot);
void ReleasePortName(int slot);

}  // namespace qv::test::pty_calls
