// A PostgreSQL server of a test's own: a fresh cluster (initdb) in a
// temporary directory, started with pg_ctl, reached only through a Unix
// socket in that directory (no TCP port at all), run as an unprivileged user
// when the test runs as root, stopped and removed at the end of the scope.
// The server programs come from QELKIT_PG_BINDIR or Debian's PostgreSQL 15
// (/usr/lib/postgresql/15/bin); without them the constructor throws, so a
// test that needs the server fails rather than skips.
#pragma once

#include <string>
#include <vector>

namespace qelkit::testing {

class PostgresServer {
 public:
  PostgresServer();
  ~PostgresServer();
  PostgresServer(const PostgresServer&) = delete;
  PostgresServer& operator=(const PostgresServer&) = delete;

  // Creates an empty database and returns its connection URI
  // ("postgresql://qelkit@/NAME?host=SOCKET_DIR").
  std::string create_database(const std::string& name) const;
  std::string url(const std::string& database) const;

 private:
  // Runs one of the server's programs (as the server's user); throws with
  // its output when it fails.
  void run(const std::string& program, const std::vector<std::string>& args) const;

  std::string bindir_;
  std::string dir_;
};

}  // namespace qelkit::testing
