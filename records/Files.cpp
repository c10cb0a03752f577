#include "records/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qv::records {

namespace {

std::string KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "is a folder, not a file";
  if (S_ISFIFO(mode)) return "is a FIFO, not a file";
  if (S_ISSOCK(mode)) return "is a socket, not a file";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "is a device, not a file";
  return "is not a regular file";
}

}  // namespace

std::string ErrnoText(int error) {
  switch (error) {
    case ENOSPC:
    case EDQUOT:
      return "the disk is full";
    case EACCES:
    case EPERM:
      return "permission denied";
    case EROFS:
      return "the disk is read-only";
    case ENOENT:
      return "it does not exist";
    case EIO:
      return "the disk reports an error";
    default:
      return std::strerror(error);
  }
}

std::string NotAFile(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode)) return {};
  return path + " " + KindOf(st.st_mode);
}

int OpenFile(const std::string& path, int flags, std::string& why, int* errnoOut) {
  if (errnoOut != nullptr) *errnoOut = 0;
  const int fd = ::open(path.c_str(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
  if (fd < 0) {
    const int error = errno;
    if (errnoOut != nullptr) *errnoOut = error;
    // A FIFO opened for writing without a reader says ENXIO.
    why = error == ENXIO ? NotAFile(path) : std::string();
    if (why.empty()) why = path + ": " + ErrnoText(error);
    return -1;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    why = path + " " + KindOf(st.st_mode);
    ::close(fd);
    return -1;
  }
  // Regular files never wait, but the flag would still show in later
  // fcntl() calls.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

bool ReadFile(const std::string& path, std::string& bytes, std::string& why, bool missingIsEmpty) {
  bytes.clear();
  int error = 0;
  const int fd = OpenFile(path, O_RDONLY, why, &error);
  if (fd < 0) return missingIsEmpty && error == ENOENT;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      bytes.append(buf, static_cast<size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      why = path + ": " + ErrnoText(errno);
      ::close(fd);
      return false;
    }
  }
  ::close(fd);
  return true;
}

}  // namespace qv::records
