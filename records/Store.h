// Where records go, and the writer that keeps a unit from ever waiting for
// them: a background thread, and a spool file for what a database did not
// take.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "records/Record.h"

namespace qv::records {

class TRecordStore {
 public:
  virtual ~TRecordStore() = default;
  // Writes one record; one whose uid is there already counts as written.
  // False, with the reason, when the database did not take it.
  virtual bool Write(const TUnitRecord& record, std::string& why) = 0;
  // Writes the records in one transaction, as Write would each: a bulk
  // load such as the demo's.
  virtual bool WriteMany(const std::vector<TUnitRecord>& records, std::string& why) {
    for (const TUnitRecord& r : records)
      if (!Write(r, why)) return false;
    return true;
  }
  // What the operator is told the records go to.
  virtual std::string Where() const = 0;
  // Brings the database to this schema version and every record an earlier
  // version's writer left up to it (Upkeep.h), a batch a transaction;
  // progress, when set, gets the records left after each batch. A store
  // does the same a little at a time as it writes; this is the whole of it,
  // for qvstats.
  virtual bool Upgrade(std::string& /*why*/, const std::function<void(int64_t left)>& /*progress*/) { return true; }
};

// The SQLite file, created (or brought to the current schema) on the first
// write. A lock held elsewhere is waited for busyMs at most.
std::unique_ptr<TRecordStore> SqliteStore(const std::string& path, int busyMs = 250);

// A PostgreSQL server by its libpq connection string.
std::unique_ptr<TRecordStore> PostgresStore(const std::string& conninfo);

// The connection string in a file: its first line that is neither blank
// nor a comment ('#'); empty when there is none.
std::string ReadConninfoFile(const std::string& path);

class TRecordWriter {
 public:
  using TReport = std::function<void(const std::string& line)>;

  // report gets one line when records start going to the spool file, on
  // the writer's thread. The spool left by an earlier run is sent first.
  TRecordWriter(std::unique_ptr<TRecordStore> store, std::string spoolPath, TReport report,
                std::chrono::milliseconds retry = std::chrono::seconds(10));
  // Everything submitted is written or spooled before it returns.
  ~TRecordWriter();
  TRecordWriter(const TRecordWriter&) = delete;
  TRecordWriter& operator=(const TRecordWriter&) = delete;

  // Never waits for the database.
  void Submit(TUnitRecord record);
  // Waits until every record submitted so far is written or spooled.
  void Drain();
  // Records in the spool file now.
  size_t Spooled() const;

 private:
  void Run();
  void Take(const TUnitRecord& record);
  bool SendSpool();
  bool Append(const TUnitRecord& record);
  void Report(const std::string& why);

  std::unique_ptr<TRecordStore> FStore;
  const std::string FSpool;
  const TReport FReport;
  const std::chrono::milliseconds FRetry;

  mutable std::mutex FMutex;
  std::condition_variable FCond;
  std::deque<TUnitRecord> FQueue;
  size_t FBusy = 0;
  bool FStop = false;
  // Written by the thread only.
  bool FSpoolPending = false;
  bool FReported = false;
  std::thread FThread;
};

}  // namespace qv::records
