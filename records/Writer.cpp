#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <utility>

#include "records/Store.h"

namespace qv::records {

namespace {

std::vector<std::string> SpoolLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path, std::ios::binary);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) lines.push_back(line);
  return lines;
}

}  // namespace

std::string ReadConninfoFile(const std::string& path) {
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
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
  FSpoolPending = !SpoolLines(FSpool).empty();
  FThread = std::thread([this] { Run(); });
}

TRecordWriter::~TRecordWriter() {
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FStop = true;
  }
  FCond.notify_all();
  FThread.join();
}

void TRecordWriter::Submit(TUnitRecord record) {
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FQueue.push_back(std::move(record));
  }
  FCond.notify_all();
}

void TRecordWriter::Drain() {
  std::unique_lock<std::mutex> lock(FMutex);
  FCond.wait(lock, [this] { return FQueue.empty() && FBusy == 0; });
}

size_t TRecordWriter::Spooled() const {
  return SpoolLines(FSpool).size();
}

void TRecordWriter::Run() {
  std::unique_lock<std::mutex> lock(FMutex);
  for (;;) {
    if (FQueue.empty()) {
      if (FStop) return;
      if (FSpoolPending) {
        // A database that failed is tried again now and then, and at once
        // when the writer starts with a spool left over.
        ++FBusy;
        lock.unlock();
        SendSpool();
        lock.lock();
        --FBusy;
        FCond.notify_all();
        FCond.wait_for(lock, FRetry, [this] { return FStop || !FQueue.empty(); });
      } else {
        FCond.wait(lock, [this] { return FStop || !FQueue.empty(); });
      }
      continue;
    }
    TUnitRecord record = std::move(FQueue.front());
    FQueue.pop_front();
    ++FBusy;
    lock.unlock();
    Take(record);
    lock.lock();
    --FBusy;
    FCond.notify_all();
  }
}

void TRecordWriter::Take(const TUnitRecord& record) {
  // The spool goes first, so that the records keep their order.
  if (FSpoolPending && !SendSpool()) {
    Append(record);
    return;
  }
  std::string why;
  if (FStore->Write(record, why)) {
    FReported = false;
    return;
  }
  Append(record);
  Report(why);
}

bool TRecordWriter::SendSpool() {
  const std::vector<std::string> lines = SpoolLines(FSpool);
  for (const std::string& line : lines) {
    TUnitRecord record;
    // A line cut short by a crash while it was written holds no record.
    if (!DecodeSpoolLine(line, record)) continue;
    std::string why;
    if (!FStore->Write(record, why)) {
      Report(why);
      return false;
    }
  }
  // Every line is in the database now (a record sent twice is recognised by
  // its uid, so a crash right here loses and doubles nothing).
  if (::truncate(FSpool.c_str(), 0) != 0) ::unlink(FSpool.c_str());
  FSpoolPending = false;
  FReported = false;
  return true;
}

bool TRecordWriter::Append(const TUnitRecord& record) {
  const std::string line = EncodeSpoolLine(record) + "\n";
  const int fd = ::open(FSpool.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  bool ok = fd >= 0;
  if (ok) ok = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  if (ok) ok = ::fsync(fd) == 0;
  if (fd >= 0) ::close(fd);
  FSpoolPending = true;
  if (!ok && FReport) FReport("Unit record lost: the spool file " + FSpool + " cannot be written");
  return ok;
}

void TRecordWriter::Report(const std::string& why) {
  if (FReported || !FReport) return;
  FReported = true;
  FReport("Unit records not written to " + FStore->Where() + " (" + why + "); kept in " + FSpool +
          " until it takes them");
}

}  // namespace qv::records
