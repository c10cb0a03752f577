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
  // False, with the reason in words the operator acts on ("the disk is
  // full (...)", "the database is locked by another program (...)", "the
  // server cannot be reached (...)"), when the database did not take it.
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
// nor a comment ('#'); empty when there is none, or when the path names no
// regular file.
std::string ReadConninfoFile(const std::string& path);

// Every record handed to the writer is in the spool file, synced, before
// Submit returns: a unit's record survives the program being killed from
// then on. The writer's thread moves the spool's records to the database
// and empties the spool; while the database is out they wait there. A line
// of the spool that holds no whole record (a crash or a full disk cut it
// short) is never joined to the next record and never dropped: it is kept
// aside in the spool's name + ".damaged", and the operator told so.
class TRecordWriter {
 public:
  using TReport = std::function<void(const std::string& line)>;

  // report gets one line at the start of each outage (of the database, of
  // the spool file), for lines kept aside, and for records lost at the end;
  // on the writer's thread or the submitting one. The spool left by an
  // earlier run is sent first. A database that failed is tried again every
  // retry, and not before: meanwhile records are only spooled.
  TRecordWriter(std::unique_ptr<TRecordStore> store, std::string spoolPath, TReport report,
                std::chrono::milliseconds retry = std::chrono::seconds(10));
  // Sends what is left once more, unless the database is known to be out:
  // the spool keeps it for the next run then.
  ~TRecordWriter();
  TRecordWriter(const TRecordWriter&) = delete;
  TRecordWriter& operator=(const TRecordWriter&) = delete;

  // Appends the record to the spool and syncs it (one fsync of a local
  // file); never waits for the database. False when the spool cannot take
  // it: the record then waits in memory for the database.
  bool Submit(TUnitRecord record);
  // Waits until the writer has nothing left that it would do now: every
  // record submitted is in the database, or the database is out.
  void Drain();
  // Records in the spool file now.
  size_t Spooled() const;

 private:
  void Run();
  bool Idle() const;
  // The spool's records, then those held in memory, to the database; false
  // at the first it does not take.
  bool Send();
  bool SendSpool();
  void KeepAside(const std::vector<std::string>& lines);
  void DatabaseOut(const std::string& why);
  void Report(const std::string& line);

  std::unique_ptr<TRecordStore> FStore;
  const std::string FSpool;
  const TReport FReport;
  const std::chrono::milliseconds FRetry;

  mutable std::mutex FMutex;
  std::condition_variable FCond;
  // Records the spool could not take.
  std::deque<TUnitRecord> FHeld;
  bool FSpoolPending = false;
  bool FSpoolBroken = false;
  // The database failed at its last write; tried again at FRetryAt.
  bool FOut = false;
  std::chrono::steady_clock::time_point FRetryAt;
  size_t FBusy = 0;
  bool FStop = false;
  std::thread FThread;
};

}  // namespace qv::records
