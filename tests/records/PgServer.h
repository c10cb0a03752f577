// A PostgreSQL server of the test's own: initdb into a temporary folder, a
// unix socket there and no TCP port, started and stopped with pg_ctl. The
// server refuses to run as root, so under root it runs as "nobody".
#pragma once

#include <string>
#include <vector>

namespace qv::test {

class TPgServer {
 public:
  TPgServer();
  // A server whose folder is kept: made (initdb) when keep holds none,
  // else started again with the data it holds.
  explicit TPgServer(const std::string& keep);
  ~TPgServer();
  TPgServer(const TPgServer&) = delete;
  TPgServer& operator=(const TPgServer&) = delete;

  // Empty when the server runs; otherwise why it does not.
  const std::string& Problem() const { return FProblem; }
  bool Start();
  bool Stop();
  std::string Conninfo() const;
  // Runs SQL through libpq; the first column of the first row, or "error: ...".
  std::string Query(const std::string& sql) const;

 private:
  bool Run(const std::vector<std::string>& argv) const;

  std::string FBin;
  std::string FDir;
  std::string FProblem;
  bool FRunning = false;
  bool FKept = false;
};

}  // namespace qv::test
