// Writing a unit's record: the SQLite store's write (one transaction, synced
// to disk) in ms per record against the target of 5 ms, and a submission to
// the background writer (the synced spool append that the window's thread
// waits for before a unit's outcome line), beside a plain fsync'd append of
// the same line to a file measured in the same run.
//
//   record_bench [RECORDS]
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "records/Store.h"
#include "tests/records/RecordSupport.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kTargetMs = 5.0;

double MsPer(Clock::duration d, int n) {
  return std::chrono::duration<double, std::milli>(d).count() / n;
}

}  // namespace

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::atoi(argv[1]) : 200;
  qv::test::TTempDir dir;
  // A transcript of a whole unit is some 100 KB.
  qv::records::TUnitRecord record = qv::test::SampleRecord("x");
  std::string transcript;
  while (transcript.size() < 100000) transcript += "1<3\r1>3\r";
  record.Transcript = transcript;

  auto store = qv::records::SqliteStore(dir.File("bench.records"));
  std::string why;
  record.Uid = "warm-up";
  if (!store->Write(record, why)) {
    std::fprintf(stderr, "cannot write: %s\n", why.c_str());
    return 1;
  }
  auto t0 = Clock::now();
  for (int i = 0; i < n; ++i) {
    record.Uid = "s" + std::to_string(i);
    store->Write(record, why);
  }
  const double direct = MsPer(Clock::now() - t0, n);

  double submitted = 0;
  {
    qv::records::TRecordWriter writer(qv::records::SqliteStore(dir.File("bench.records")), dir.File("spool"), nullptr);
    t0 = Clock::now();
    for (int i = 0; i < n; ++i) {
      record.Uid = "w" + std::to_string(i);
      writer.Submit(record);
    }
    submitted = MsPer(Clock::now() - t0, n);
    writer.Drain();
  }

  const std::string line = qv::records::EncodeSpoolLine(record) + "\n";
  t0 = Clock::now();
  for (int i = 0; i < n; ++i) {
    const int fd = ::open(dir.File("append").c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
    (void)!::write(fd, line.data(), line.size());
    ::fsync(fd);
    ::close(fd);
  }
  const double append = MsPer(Clock::now() - t0, n);
  std::printf(
      "record write (SQLite, %zu-byte transcript): %.3f ms a record (target < %.1f ms); "
      "submitting to the writer (synced to its spool) %.3f ms; fsync'd append of the same line %.3f ms; "
      "ratio to the append %.2f\n",
      transcript.size(), direct, kTargetMs, submitted, append, direct / append);
  return direct < kTargetMs ? 0 : 1;
}
