#include "tests/support/postgres_server.hpp"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "tests/support/other_user.hpp"

namespace qelkit::testing {
namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

PostgresServer::PostgresServer() {
  const char* bindir = std::getenv("QELKIT_PG_BINDIR");
  bindir_ = bindir && *bindir ? bindir : "/usr/lib/postgresql/15/bin";
  for (const char* program : {"initdb", "pg_ctl", "postgres", "createdb"}) {
    if (::access((bindir_ + "/" + program).c_str(), X_OK) != 0) {
      throw std::runtime_error("PostgreSQL's " + std::string(program) + " is not in " + bindir_ +
                               " (install postgresql-15: ./qelkit.sh setup, or set QELKIT_PG_BINDIR)");
    }
  }
  // A short path: the socket's full name must fit in 107 bytes.
  std::string pattern = "/tmp/qelkit-pg.XXXXXX";
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
  dir_ = pattern;
  if (::chmod(dir_.c_str(), 0755) != 0 || (::geteuid() == 0 && ::chown(dir_.c_str(), kOtherUid, kOtherGid) != 0)) {
    throw std::runtime_error("cannot hand " + dir_ + " to the server's user");
  }
  try {
    run("initdb", {"-D", dir_ + "/data", "-U", "qelkit", "--auth=trust", "-E", "UTF8", "--locale=C", "--no-sync"});
    // No TCP at all (listen_addresses empty): the port only names the
    // socket file, in this private directory. Durability is not tested here.
    run("pg_ctl", {"start", "-w", "-t", "120", "-D", dir_ + "/data", "-l", dir_ + "/server.log", "-o",
                   "-k " + dir_ + " -c listen_addresses= -p 5432 -c fsync=off -c full_page_writes=off"});
  } catch (...) {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
    throw;
  }
}

PostgresServer::~PostgresServer() {
  try {
    run("pg_ctl", {"stop", "-w", "-m", "immediate", "-D", dir_ + "/data"});
  } catch (const std::exception&) {
    // Already stopped; the directory goes either way.
  }
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

std::string PostgresServer::url(const std::string& database) const {
  return "postgresql://qelkit@/" + database + "?host=" + dir_;
}

std::string PostgresServer::create_database(const std::string& name) const {
  run("createdb", {"-h", dir_, "-p", "5432", "-U", "qelkit", name});
  return url(name);
}

void PostgresServer::run(const std::string& program, const std::vector<std::string>& args) const {
  std::vector<std::string> text = {bindir_ + "/" + program};
  text.insert(text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : text) argv.push_back(a.data());
  argv.push_back(nullptr);
  const std::string log = dir_ + "/" + program + ".out";
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::geteuid() == 0 &&
        (::setgroups(0, nullptr) != 0 || ::setgid(kOtherGid) != 0 || ::setuid(kOtherUid) != 0)) {
      ::_exit(126);
    }
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int in = ::open("/dev/null", O_RDONLY);
    if (out < 0 || in < 0 || ::chdir(dir_.c_str()) != 0) ::_exit(126);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(out, 2);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  if (pid < 0) throw std::runtime_error("cannot fork to run " + program);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error(program + " failed (status " + std::to_string(status) + "): " + slurp(log) +
                             (program == "pg_ctl" ? slurp(dir_ + "/server.log") : ""));
  }
}

}  // namespace qelkit::testing
