#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "records/Files.h"
#include "records/Store.h"

namespace qv::records {

namespace {

using Clock = std::chrono::steady_clock;

// The spool held under its lock: flock() on the file itself, so that two
// programs that share a spool take turns as well. The tail of a spool is
// rewritten into a new file, so a file that was replaced while this one
// waited for the lock is opened afresh.
class TSpoolLock {
 public:
  TSpoolLock(const std::string& path, int flags) {
    for (int attempt = 0; attempt < 8; ++attempt) {
      Fd = OpenFile(path, flags, Why, &Errno);
      if (Fd < 0) return;
      while (::flock(Fd, LOCK_EX) != 0 && errno == EINTR) {
      }
      struct stat held = {};
      struct stat named = {};
      if (::fstat(Fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 && held.st_ino == named.st_ino &&
          held.st_dev == named.st_dev)
        return;
      ::close(Fd);
      Fd = -1;
    }
    Why = path + ": it keeps being replaced";
  }
  ~TSpoolLock() {
    if (Fd >= 0) ::close(Fd);
  }
  TSpoolLock(const TSpoolLock&) = delete;
  TSpoolLock& operator=(const TSpoolLock&) = delete;

  int Fd = -1;
  int Errno = 0;
  std::string Why;
};

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

bool ReadAll(int fd, std::string& bytes) {
  bytes.clear();
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0)
      bytes.append(buf, static_cast<size_t>(n));
    else if (n == 0)
      return true;
    else if (errno != EINTR)
      return false;
  }
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// A file that has just been made, or renamed into place, is found again
// after a power cut only once its folder is synced too.
void SyncFolder(const std::string& path) {
  const int fd = ::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

// Appends lines (each ended here) to a file, synced. A last line that a
// crash or a full disk left without its end is ended first, so that it is
// never taken for the start of the new one; a write that fails half-way is
// taken back.
bool AppendLines(const std::string& path, const std::string& lines, std::string& why) {
  struct stat before {};
  const bool existed = ::stat(path.c_str(), &before) == 0;
  TSpoolLock lock(path, O_RDWR | O_APPEND | O_CREAT);
  if (lock.Fd < 0) {
    why = lock.Why;
    return false;
  }
  struct stat st {};
  if (::fstat(lock.Fd, &st) != 0) {
    why = path + ": " + ErrnoText(errno);
    return false;
  }
  std::string bytes;
  char last = '\n';
  if (st.st_size > 0 && ::pread(lock.Fd, &last, 1, st.st_size - 1) == 1 && last != '\n') bytes = "\n";
  bytes += lines;
  if (!WriteAll(lock.Fd, bytes)) {
    why = path + ": " + ErrnoText(errno);
    if (::ftruncate(lock.Fd, st.st_size) != 0) {
      // The next append ends what is left.
    }
    return false;
  }
  if (::fsync(lock.Fd) != 0) {
    why = path + ": " + ErrnoText(errno);
    return false;
  }
  if (!existed) SyncFolder(path);
  return true;
}

// The spool's lines: each ended by a newline, and a last one without its
// end (cut short) as a line of its own.
std::vector<std::string> SplitLines(const std::string& bytes) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < bytes.size()) {
    size_t end = bytes.find('\n', at);
    if (end == std::string::npos) end = bytes.size();
    if (end > at) lines.push_back(bytes.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

// Takes the first bytes out of the spool, once they are in the database,
// and only when the spool still begins with them (another program's writer
// may have emptied it meanwhile); what was appended since stays.
bool Consume(const std::string& path, const std::string& sent, std::string& why) {
  TSpoolLock lock(path, O_RDWR);
  if (lock.Fd < 0) {
    why = lock.Why;
    return lock.Errno == ENOENT;
  }
  std::string now;
  if (!ReadAll(lock.Fd, now)) {
    why = path + ": " + ErrnoText(errno);
    return false;
  }
  if (now.compare(0, sent.size(), sent) != 0) return true;
  if (now.size() == sent.size()) {
    // A crash before the truncation is seen only by a uid sent twice.
    if (::ftruncate(lock.Fd, 0) == 0) return true;
    why = path + ": " + ErrnoText(errno);
    return false;
  }
  // The rest goes into a new file that replaces the spool whole: a crash
  // leaves either the old spool or the new one.
  const std::string next = path + ".next";
  const int fd = OpenFile(next, O_WRONLY | O_CREAT | O_TRUNC, why);
  if (fd < 0) return false;
  const bool written = WriteAll(fd, now.substr(sent.size())) && ::fsync(fd) == 0;
  const int error = errno;
  ::close(fd);
  if (!written || ::rename(next.c_str(), path.c_str()) != 0) {
    why = path + ": " + ErrnoText(written ? errno : error);
    ::unlink(next.c_str());
    return false;
  }
  SyncFolder(path);
  return true;
}

}  // namespace

std::string ReadConninfoFile(const std::string& path) {
  std::string text, why;
  if (!ReadFile(path, text, why)) return {};
  for (std::string line : SplitLines(text)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    return line.substr(first);
  }
  return {};
}

TRecordWriter::TRecordWriter(std::unique_ptr<TRecordStore> store, std::string spoolPath, TReport report,
                             std::chrono::milliseconds retry)
    : FStore(std::move(store)), FSpool(std::move(spoolPath)), FReport(std::move(report)), FRetry(retry) {
  // Only looked at here: reading it is the thread's business.
  struct stat st {};
  FSpoolPending = ::stat(FSpool.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
  FThread = std::thread([this] { Run(); });
}

TRecordWriter::~TRecordWriter() {
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FStop = true;
  }
  FCond.notify_all();
  FThread.join();
  if (!FHeld.empty())
    Report(std::to_string(FHeld.size()) + " unit record" + (FHeld.size() == 1 ? "" : "s") +
           " lost: " + FStore->Where() + " did not take " + (FHeld.size() == 1 ? "it" : "them") + " and " + FSpool +
           " could not keep " + (FHeld.size() == 1 ? "it" : "them"));
}

bool TRecordWriter::Submit(TUnitRecord record) {
  std::string why;
  const bool kept = AppendLines(FSpool, EncodeSpoolLine(record) + "\n", why);
  if (!kept) {
    // Said before the thread learns of the record, and so before anything
    // it says about the database.
    bool tell = false;
    {
      std::lock_guard<std::mutex> lock(FMutex);
      tell = !FSpoolBroken;
      FSpoolBroken = true;
    }
    if (tell)
      Report("Unit records cannot be kept in the spool file: " + why + "; each waits in memory until " +
             FStore->Where() + " takes it");
  }
  {
    std::lock_guard<std::mutex> lock(FMutex);
    if (kept) {
      FSpoolPending = true;
      FSpoolBroken = false;
    } else {
      FHeld.push_back(std::move(record));
    }
  }
  FCond.notify_all();
  return kept;
}

bool TRecordWriter::Idle() const {
  const bool work = FSpoolPending || !FHeld.empty();
  return FBusy == 0 && (!work || (FOut && Clock::now() < FRetryAt));
}

void TRecordWriter::Drain() {
  std::unique_lock<std::mutex> lock(FMutex);
  FCond.wait(lock, [this] { return Idle(); });
}

size_t TRecordWriter::Spooled() const {
  std::string bytes, why;
  ReadFile(FSpool, bytes, why);
  size_t n = 0;
  TUnitRecord record;
  for (const std::string& line : SplitLines(bytes)) n += DecodeSpoolLine(line, record);
  return n;
}

void TRecordWriter::Run() {
  std::unique_lock<std::mutex> lock(FMutex);
  for (;;) {
    const bool work = FSpoolPending || !FHeld.empty();
    // At the end a database known to be out is not tried again: the spool
    // keeps its records for the next run.
    if (FStop && (!work || FOut)) return;
    if (!work) {
      FCond.notify_all();
      FCond.wait(lock, [this] { return FStop || FSpoolPending || !FHeld.empty(); });
      continue;
    }
    if (FOut && !FStop && Clock::now() < FRetryAt) {
      FCond.notify_all();
      FCond.wait_until(lock, FRetryAt, [this] { return FStop; });
      continue;
    }
    ++FBusy;
    lock.unlock();
    Send();
    lock.lock();
    --FBusy;
    FCond.notify_all();
  }
}

bool TRecordWriter::Send() {
  if (!SendSpool()) return false;
  for (;;) {
    TUnitRecord record;
    {
      std::lock_guard<std::mutex> lock(FMutex);
      if (FHeld.empty()) break;
      record = std::move(FHeld.front());
      FHeld.pop_front();
    }
    std::string why;
    if (!FStore->Write(record, why)) {
      {
        std::lock_guard<std::mutex> lock(FMutex);
        FHeld.push_front(std::move(record));
      }
      DatabaseOut(why);
      return false;
    }
    std::lock_guard<std::mutex> lock(FMutex);
    FOut = false;
  }
  return true;
}

bool TRecordWriter::SendSpool() {
  {
    std::lock_guard<std::mutex> lock(FMutex);
    if (!FSpoolPending) return true;
    // What is appended from here on sets it again.
    FSpoolPending = false;
  }
  std::string bytes;
  {
    TSpoolLock lock(FSpool, O_RDONLY);
    // A spool that is not a file holds nothing to send (Submit says so).
    if (lock.Fd < 0 || !ReadAll(lock.Fd, bytes)) return true;
  }
  std::vector<std::string> damaged;
  for (const std::string& line : SplitLines(bytes)) {
    TUnitRecord record;
    if (!DecodeSpoolLine(line, record)) {
      damaged.push_back(line);
      continue;
    }
    std::string why;
    if (!FStore->Write(record, why)) {
      {
        std::lock_guard<std::mutex> lock(FMutex);
        FSpoolPending = true;
      }
      DatabaseOut(why);
      return false;
    }
    std::lock_guard<std::mutex> lock(FMutex);
    FOut = false;
  }
  // Every record is in the database now (a record sent twice is recognised
  // by its uid, so a crash from here on loses and doubles nothing).
  KeepAside(damaged);
  // A spool that cannot be emptied keeps its lines; they go again, as
  // records already there, with the next one submitted.
  std::string why;
  if (!Consume(FSpool, bytes, why)) Report("Unit records written to " + FStore->Where() + ", but " + why);
  return true;
}

void TRecordWriter::KeepAside(const std::vector<std::string>& lines) {
  if (lines.empty()) return;
  std::string bytes;
  for (const std::string& line : lines) bytes += line + "\n";
  const std::string aside = FSpool + ".damaged";
  std::string why;
  const std::string what = std::to_string(lines.size()) + (lines.size() == 1 ? " line" : " lines") + " of " + FSpool +
                           " held no whole unit record (cut short by a crash or a full disk)";
  if (AppendLines(aside, bytes, why)) {
    Report(what + "; kept aside in " + aside);
    return;
  }
  // Not dropped: they stay in the spool, ahead of what comes next.
  Report(what + " and cannot be kept aside (" + why + "); they stay in the spool");
  AppendLines(FSpool, bytes, why);
}

void TRecordWriter::DatabaseOut(const std::string& why) {
  bool tell = false;
  bool broken = false;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    tell = !FOut;
    FOut = true;
    FRetryAt = Clock::now() + FRetry;
    broken = FSpoolBroken;
  }
  if (!tell) return;
  Report("Unit records not written to " + FStore->Where() + ": " + why +
         (broken ? "; they wait in memory, the spool file cannot keep them either"
                 : "; kept in " + FSpool + " until it takes them"));
}

void TRecordWriter::Report(const std::string& line) {
  if (FReport) FReport(line);
}

}  // namespace qv::records
