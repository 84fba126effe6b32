// Tests of the task launcher with real children: this test program is itself
// a host that handles "-c", with a table of probe operations.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <functional>
#include <iostream>
#include <limits>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "qelkit/common/errors.hpp"
#include "qelkit/common/taskspawn.hpp"
#include "tests/support/files.hpp"

namespace fs = std::filesystem;
using qelkit::InvalidArgumentError;
using qelkit::Json;
using qelkit::PassedFd;
using qelkit::Process;
using qelkit::StdStream;
using qelkit::SystemError;
using qelkit::TaskFactory;

namespace {

constexpr const char* kModule = "tests.taskspawn";
constexpr const char* kClass = "Probe";

void put(std::FILE* f, const std::string& s) {
  std::fwrite(s.data(), 1, s.size(), f);
  std::fflush(f);
}

bool file_exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// The operations a child of this program can run.
const std::vector<qelkit::ChildTask>& probe_table() {
  static const std::vector<qelkit::ChildTask> table = {
      // Reports what it received: arguments, working directory, project root,
      // one environment variable.
      {kModule, kClass, "record",
       [](const Json& args) {
         const char* mark = std::getenv("QELKIT_TASKSPAWN_MARK");
         std::ifstream cmdline("/proc/self/cmdline", std::ios::binary);
         std::string raw((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
         std::ifstream environ_file("/proc/self/environ", std::ios::binary);
         std::string env((std::istreambuf_iterator<char>(environ_file)), std::istreambuf_iterator<char>());
         const char* args_variable = std::getenv(qelkit::kChildArgsVariable);
         Json out = {{"cmdline", raw},
                     {"environ", env},
                     {"args_variable", args_variable ? Json(args_variable) : Json(nullptr)},
                     {"args", args},
                     {"cwd", fs::current_path().string()},
                     {"root", qelkit::current_child_script()->project_root},
                     {"mark", mark ? Json(mark) : Json(nullptr)}};
         put(stdout, out.dump() + "\n");
       }},
      {kModule, kClass, "echo",
       [](const Json& args) {
         put(stdout, args[0].get<std::string>());
         put(stderr, args[1].get<std::string>());
       },
       2},
      // Announces its pid, then waits for the file args[0] to appear.
      {kModule, kClass, "gate",
       [](const Json& args) {
         put(stdout, std::to_string(::getpid()) + "\n");
         put(stderr, "started\n");
         const auto go = args[0].get<std::string>();
         for (int i = 0; i < 6000 && !file_exists(go); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
         put(stdout, "done\n");
         put(stderr, "done\n");
       },
       1},
      {kModule, kClass, "fail", [](const Json&) { throw std::runtime_error("probe failed\non purpose"); }},
      {kModule, kClass, "selfkill", [](const Json&) { ::raise(SIGKILL); }},
      // Writes raw bytes given in hexadecimal.
      {kModule, kClass, "bytes",
       [](const Json& args) {
         std::string hex = args[0].get<std::string>(), raw;
         for (std::size_t i = 0; i < hex.size(); i += 2) raw.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
         put(stdout, raw);
       },
       1},
      {kModule, kClass, "cat",
       [](const Json&) {
         std::string all((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
         put(stdout, all);
       }},
      // Writes each named variable's value into the descriptor it names,
      // then lists the open descriptors as "fds" does.
      {kModule, kClass, "passed",
       [](const Json& names) {
         for (const Json& name : names) {
           const char* value = std::getenv(name.get<std::string>().c_str());
           const std::string text = value ? value : "unset";
           if (value) (void)!::write(std::atoi(value), text.data(), text.size());
         }
         Json open = Json::array();
         for (int fd = 0; fd < 1024; ++fd) {
           if (::fcntl(fd, F_GETFD) >= 0) open.push_back(fd);
         }
         put(stdout, open.dump());
       }},
      // Lists the child's open descriptors without opening any.
      {kModule, kClass, "fds",
       [](const Json&) {
         Json open = Json::array();
         for (int fd = 0; fd < 1024; ++fd) {
           if (::fcntl(fd, F_GETFD) >= 0) open.push_back(fd);
         }
         put(stdout, open.dump());
       }},
  };
  return table;
}

// A fresh directory (optionally a named leaf inside one), removed afterwards.
struct TempDir {
  fs::path base, path;
  explicit TempDir(const std::string& leaf = "") {
    std::string tmpl = (fs::temp_directory_path() / "qelkit-taskspawn-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    base = path = tmpl;
    if (!leaf.empty()) {
      path /= leaf;
      fs::create_directory(path);
    }
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(base, ec);
  }
  std::string operator/(const std::string& name) const { return (path / name).string(); }
};

struct ScopedCwd {
  fs::path old = fs::current_path();
  explicit ScopedCwd(const fs::path& to) { fs::current_path(to); }
  ~ScopedCwd() { fs::current_path(old); }
};

using qelkit::testing::read_file;

void write_file(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Waits for a condition that a child brings about; the long limit only keeps
// a broken build from hanging, it is not a speed requirement.
bool eventually(const std::function<bool()>& cond) {
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < until) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return cond();
}

// The state letter of a process ('Z' for a zombie), or 0 when it is gone.
char proc_state(int pid) {
  std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  auto paren = stat.rfind(')');
  return paren == std::string::npos || paren + 2 >= stat.size() ? 0 : stat[paren + 2];
}

std::vector<int> children_of_self() {
  std::vector<int> kids;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string stat = read_file(entry.path().string() + "/stat");
    auto paren = stat.rfind(')');
    if (paren == std::string::npos) continue;
    std::istringstream rest(stat.substr(paren + 2));
    char state;
    int ppid;
    if (rest >> state >> ppid && ppid == ::getpid()) kids.push_back(std::stoi(name));
  }
  return kids;
}

std::size_t open_fd_count() {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator{}));
}

Process start(const std::string& method, const Json& args = nullptr, StdStream out = StdStream::pipe(),
              StdStream err = StdStream::pipe(), StdStream in = StdStream::inherit()) {
  return TaskFactory().create_task(kModule, kClass, method, args, in, out, err);
}

// ---- the script ----

TEST(TaskSpawnScript, IsExactlyTheThirteenPieces) {
  const std::string script =
      TaskFactory::build_script("/srv/app", "qelkit.sdk.qelfacade", "QelDriver", "ce", Json::array({"tok-1"}));
  EXPECT_EQ(script,
            "import sys\n"
            "sys.path.insert(0, \"/srv/app\")\n"
            "from qelkit.sdk.qelfacade import QelDriver\n"
            "args = [\"tok-1\"]\n"
            "obj = QelDriver()\n"
            "getattr(obj, \"ce\")(*args)\n");

  // With one-character names the variable pieces are "r" quoted (3), m, C,
  // "[]", C and "f" quoted (3): everything else is fixed.
  const std::string minimal = TaskFactory::build_script("r", "m", "C", "f", nullptr);
  EXPECT_EQ(minimal.size() - (3 + 1 + 1 + 2 + 1 + 3), 85u);
  EXPECT_NE(minimal.find("\nargs = []\n"), std::string::npos);

  // Lists separate elements with a comma and a space at every depth; texts
  // escape quotes, backslashes and control characters and keep non-ASCII.
  const Json args = Json::parse(R"(["a\"b\\c\nd", 1, -2, 2.5, ["x", [3, 4]], [], "é€😀"])");
  EXPECT_EQ(TaskFactory::build_script("/r\"\\", "m", "C", "say \"hi\"", args),
            "import sys\nsys.path.insert(0, \"/r\\\"\\\\\")\nfrom m import C\n"
            "args = [\"a\\\"b\\\\c\\nd\", 1, -2, 2.5, [\"x\", [3, 4]], [], \"é€😀\"]\n"
            "obj = C()\ngetattr(obj, \"say \\\"hi\\\"\")(*args)\n");
}

TEST(TaskSpawnScript, TheLaunchersScriptTakesItsArgumentsFromTheEnvironment) {
  EXPECT_EQ(TaskFactory::build_script("/srv/app", "qelkit.sdk.qelfacade", "QelDriver", "ce"),
            "import sys\n"
            "sys.path.insert(0, \"/srv/app\")\n"
            "from qelkit.sdk.qelfacade import QelDriver\n"
            "args = __import__(\"json\").loads(__import__(\"os\").environ.pop(\"QELKIT_CHILD_ARGS\"))\n"
            "obj = QelDriver()\n"
            "getattr(obj, \"ce\")(*args)\n");
  EXPECT_EQ(TaskFactory::child_args_text(nullptr), "[]");
  EXPECT_EQ(TaskFactory::child_args_text(Json::parse(R"(["a\"b\n", 1, -2.5, ["x", []], "é"])")),
            "[\"a\\\"b\\n\", 1, -2.5, [\"x\", []], \"é\"]");
  EXPECT_THROW(TaskFactory::child_args_text(Json::array({true})), InvalidArgumentError);
  EXPECT_THROW(TaskFactory::build_script("/", "a.b", "C\nimport os", "f"), InvalidArgumentError);
}

TEST(TaskSpawnScript, RefusesWhatCannotBeWrittenSafely) {
  auto refused = [](const std::string& root, const std::string& module, const std::string& cls,
                    const std::string& method, const Json& args, const std::string& why) {
    try {
      TaskFactory::build_script(root, module, cls, method, args);
      ADD_FAILURE() << "accepted: " << why;
    } catch (const InvalidArgumentError& e) {
      EXPECT_NE(std::string(e.what()).find(why), std::string::npos) << e.what();
    }
  };
  // Unquoted names must not be able to carry script text.
  refused("/", "", "C", "f", nullptr, "module name");
  refused("/", "a..b", "C", "f", nullptr, "module name");
  refused("/", "a.b; import os", "C", "f", nullptr, "module name");
  refused("/", "1a", "C", "f", nullptr, "module name");
  refused("/", "a.b", "C\nimport os", "f", nullptr, "class name");
  refused("/", "a.b", "A.B", "f", nullptr, "class name");
  refused("/", "a.b", "", "f", nullptr, "class name");
  // Values without a literal of the script language.
  refused("/", "m", "C", "f", Json::array({true}), "boolean");
  refused("/", "m", "C", "f", Json::array({nullptr}), "null");
  refused("/", "m", "C", "f", Json::array({Json::object({{"k", 1}})}), "object");
  refused("/", "m", "C", "f", Json::array({std::nan("")}), "finite");
  refused("/", "m", "C", "f", Json::array({std::numeric_limits<double>::infinity()}), "finite");
  refused("/", "m", "C", "f", Json("tok"), "must be a list");
  Json deep = Json::array();
  for (int i = 0; i < 70; ++i) deep = Json::array({deep});
  refused("/", "m", "C", "f", deep, "deeper");
  // Text that is not UTF-8.
  refused("/", "m", "C", "f", Json::array({std::string("a\xff")}), "not valid UTF-8");
  refused("/", "m", "C", std::string("f\xc3"), nullptr, "method name is not valid UTF-8");
  refused(std::string("/r\xfe"), "m", "C", "f", nullptr, "project root is not valid UTF-8");
}

TEST(TaskSpawnScript, ParsesBackWhatItWrites) {
  const Json args = Json::parse(R"(["q\"b\\s\nl\u0001", "ü", 7, -1.25, 18446744073709551615, [["deep"]], ""])");
  auto s = qelkit::parse_child_script(
      TaskFactory::build_script("/a \"b\"\\c", "pkg.mod_1._x", "_Cls9", "run it\t", args));
  EXPECT_EQ(s.project_root, "/a \"b\"\\c");
  EXPECT_EQ(s.module_name, "pkg.mod_1._x");
  EXPECT_EQ(s.class_name, "_Cls9");
  EXPECT_EQ(s.method_name, "run it\t");
  EXPECT_EQ(s.args, args);
  EXPECT_EQ(qelkit::parse_child_script(TaskFactory::build_script("/", "m", "C", "f", nullptr)).args, Json::array());
  EXPECT_FALSE(s.args_from_environment);

  auto e = qelkit::parse_child_script(TaskFactory::build_script("/a", "pkg.mod", "Cls", "run"));
  EXPECT_TRUE(e.args_from_environment);
  EXPECT_EQ(e.args, Json::array());
  EXPECT_EQ(e.project_root, "/a");
  EXPECT_EQ(e.method_name, "run");
  EXPECT_EQ(qelkit::parse_child_args(TaskFactory::child_args_text(args)), args);
  for (const char* bad : {"", " []", "[] ", "(1,)", "[True]", "[true]", "{}", "\"x\"", "[1] [2]"}) {
    EXPECT_THROW(qelkit::parse_child_args(bad), InvalidArgumentError) << bad;
  }
  try {
    qelkit::parse_child_args("[null]");
    ADD_FAILURE() << "accepted [null]";
  } catch (const InvalidArgumentError& err) {
    EXPECT_NE(std::string(err.what()).find("malformed child arguments (QELKIT_CHILD_ARGS): an argument of type null"),
              std::string::npos) << err.what();
  }
}

TEST(TaskSpawnScript, ParseRefusesAnythingElse) {
  const std::string good = TaskFactory::build_script("/r", "m.n", "C", "f", Json::array({"a", 1}));
  ASSERT_NO_THROW(qelkit::parse_child_script(good));
  auto replace = [&](const std::string& from, const std::string& to) {
    std::string s = good;
    s.replace(s.find(from), from.size(), to);
    return s;
  };
  const std::vector<std::pair<std::string, std::string>> bad = {
      {good.substr(0, good.size() - 1), "line feed"},
      {good + "print(1)\n", "expected 6 lines, found 7"},
      {replace("import sys\n", ""), "expected 6 lines, found 5"},
      {replace("import sys", "import os"), "line 1"},
      {replace("sys.path.insert(0, \"/r\")", "sys.path.insert(0, '/r')"), "line 2: literal"},
      {replace("sys.path.insert(0, \"/r\")", "sys.path.insert(0, 5)"), "line 2: the project root must be a JSON text"},
      {replace("sys.path.insert(0, \"/r\")", "sys.path.append(\"/r\")"), "line 2: expected"},
      {replace("from m.n import C", "from m.n import C; import os"), "line 3: class name"},
      {replace("from m.n import C", "from m..n import C"), "line 3: module name"},
      {replace("from m.n import C", "from m.n import  C"), "line 3"},
      {replace("from m.n import C", "import m.n"), "line 3"},
      {replace("args = [\"a\", 1]", "args = [\"a\", 1]; import os"), "line 4: literal"},
      {replace("args = [\"a\", 1]", "args = x; import os"), "line 4: literal"},
      {replace("args = [\"a\", 1]", "args = (\"a\", 1)"), "line 4: literal"},
      {replace("args = [\"a\", 1]", "args = [True]"), "line 4: literal"},
      {replace("args = [\"a\", 1]", "args = [true]"), "line 4: an argument of type boolean"},
      {replace("args = [\"a\", 1]", "args = {\"a\": 1}"), "line 4: the arguments must be a JSON list"},
      {replace("args = [\"a\", 1]", "args =  [\"a\", 1]"), "line 4: literal"},
      {replace("args = [\"a\", 1]", "args = [\"a\", 1] "), "line 4: literal"},
      {replace("obj = C()", "obj = D()"), "line 5"},
      {replace("obj = C()", "obj = C(1)"), "line 5"},
      {replace("getattr(obj, \"f\")(*args)", "getattr(obj, f)(*args)"), "line 6: literal"},
      {replace("getattr(obj, \"f\")(*args)", "getattr(obj, \"f\")(*args); import os"), "line 6"},
      {replace("getattr(obj, \"f\")(*args)", "getattr(obj, [\"f\"])(*args)"), "line 6: the method name"},
      {replace("\n", "\r\n"), "line 1"},
  };
  // The environment line is matched character for character.
  const std::string from_env = TaskFactory::build_script("/r", "m.n", "C", "f");
  ASSERT_NO_THROW(qelkit::parse_child_script(from_env));
  const std::string env_line =
      "args = __import__(\"json\").loads(__import__(\"os\").environ.pop(\"QELKIT_CHILD_ARGS\"))";
  ASSERT_NE(from_env.find(env_line), std::string::npos);
  for (const std::string& line : {
           std::string("args = __import__(\"json\").loads(__import__(\"os\").environ.pop(\"OTHER\"))"),
           std::string("args = __import__(\"json\").loads(__import__(\"os\").environ.get(\"QELKIT_CHILD_ARGS\"))"),
           std::string("args = __import__(\"json\").loads(__import__(\"os\").environ.pop(\"QELKIT_CHILD_ARGS\")) "),
           std::string("args = __import__(\"pickle\").loads(__import__(\"os\").environ.pop(\"QELKIT_CHILD_ARGS\"))"),
       }) {
    std::string script = from_env;
    script.replace(script.find(env_line), env_line.size(), line);
    try {
      qelkit::parse_child_script(script);
      ADD_FAILURE() << "accepted:\n" << script;
    } catch (const InvalidArgumentError& e) {
      EXPECT_NE(std::string(e.what()).find("line 4: literal"), std::string::npos) << e.what();
    }
  }
  for (const auto& [script, why] : bad) {
    try {
      qelkit::parse_child_script(script);
      ADD_FAILURE() << "accepted:\n" << script;
    } catch (const InvalidArgumentError& e) {
      EXPECT_NE(std::string(e.what()).find(why), std::string::npos) << e.what() << "\nfor:\n" << script;
    }
  }
}

TEST(TaskSpawnText, ReplacesInvalidUtf8LikeTheReplacePolicy) {
  using qelkit::decode_utf8_replace;
  const std::string r = "\xEF\xBF\xBD";
  EXPECT_EQ(decode_utf8_replace("plain é€😀\n"), "plain é€😀\n");
  EXPECT_EQ(decode_utf8_replace(std::string("a\0b", 3)), std::string("a\0b", 3));
  EXPECT_EQ(decode_utf8_replace("a\xFF" "b"), "a" + r + "b");
  EXPECT_EQ(decode_utf8_replace("\xE2\x82" "a"), r + "a");            // truncated sequence: one replacement
  EXPECT_EQ(decode_utf8_replace("x\xE2\x82"), "x" + r);                // truncated at the end
  EXPECT_EQ(decode_utf8_replace("\xED\xA0\x80"), r + r + r);           // encoded surrogate
  EXPECT_EQ(decode_utf8_replace("\xC0\xAF"), r + r);                   // overlong
  EXPECT_EQ(decode_utf8_replace("\xF4\x90\x80\x80"), r + r + r + r);   // beyond U+10FFFF
  EXPECT_EQ(decode_utf8_replace("\xE2\x82\xE2\x82\xAC"), r + "€");
  EXPECT_EQ(decode_utf8_replace(""), "");
}

// ---- real children ----

TEST(TaskSpawnChild, ArgumentsEnvironmentAndDirectoryArriveExactly) {
  const Json args = Json::parse(R"(["quote \" here", "back\\slash", "line\nfeed", "ümlaut €😀", "", 42, -7, 0.5,
                                    ["nested", [1, "x"]], 18446744073709551615])");
  ::setenv("QELKIT_TASKSPAWN_MARK", "taken at the call é", 1);
  // A value the host inherited is replaced in the child, and kept in the host.
  ::setenv(qelkit::kChildArgsVariable, "[\"stale\"]", 1);
  Process child = start("record", args);
  ::unsetenv("QELKIT_TASKSPAWN_MARK");
  EXPECT_STREQ(std::getenv(qelkit::kChildArgsVariable), "[\"stale\"]");
  ::unsetenv(qelkit::kChildArgsVariable);
  auto [out, err] = child.communicate();
  ASSERT_EQ(child.wait(), 0) << err;
  Json seen = Json::parse(out);
  EXPECT_EQ(seen["args"], args);
  EXPECT_EQ(seen["cwd"], fs::current_path().string());
  EXPECT_EQ(seen["root"], fs::current_path().string());
  EXPECT_EQ(seen["mark"], "taken at the call é");
  // The command line: the host's own executable, "-c", the script (no
  // shell), which holds no argument.
  const std::string script = TaskFactory::build_script(fs::current_path().string(), kModule, kClass, "record");
  EXPECT_EQ(seen["cmdline"], fs::read_symlink("/proc/self/exe").string() + std::string(1, '\0') + "-c" +
                                 std::string(1, '\0') + script + std::string(1, '\0'));
  // The arguments came through the environment, which the child emptied
  // before the operation ran: nothing it starts inherits them, and its
  // environment block no longer shows them.
  EXPECT_TRUE(seen["args_variable"].is_null()) << seen["args_variable"];
  const std::string environ_block = seen["environ"].get<std::string>();
  EXPECT_NE(environ_block.find("QELKIT_TASKSPAWN_MARK="), std::string::npos);
  EXPECT_EQ(environ_block.find("ümlaut"), std::string::npos);
  EXPECT_EQ(environ_block.find("stale"), std::string::npos);

  Process bare = start("record");
  Json none = Json::parse(bare.read_stdout_all());
  EXPECT_EQ(bare.wait(), 0);
  EXPECT_EQ(none["args"], Json::array());
  EXPECT_TRUE(none["mark"].is_null());
}

TEST(TaskSpawnChild, ProjectRootWithQuoteAndBackslashArrives) {
  TempDir tmp("root \"quoted\" back\\slash ü");
  ScopedCwd cwd(tmp.path);
  Process child = start("record", Json::array({"x"}));
  Json seen = Json::parse(child.read_stdout_all());
  EXPECT_EQ(child.wait(), 0);
  EXPECT_EQ(seen["root"], tmp.path.string());
  EXPECT_EQ(seen["cwd"], tmp.path.string());
}

TEST(TaskSpawnChild, FailuresShowOnlyInTheChildsStandardError) {
  auto run = [](const std::string& module, const std::string& cls, const std::string& method, const Json& args) {
    Process child = TaskFactory().create_task(module, cls, method, args, {}, StdStream::pipe(), StdStream::pipe());
    auto [out, err] = child.communicate();
    EXPECT_EQ(out, "");
    // A script this host cannot run is a wrong command line; a failing operation is not.
    EXPECT_EQ(child.wait(), method == "fail" ? 1 : 2);
    return err;
  };
  EXPECT_EQ(run("no.such.module", "X", "y", nullptr), "qelkit child task: no module named \"no.such.module\"\n");
  EXPECT_EQ(run(kModule, "Nope", "record", nullptr),
            "qelkit child task: module \"tests.taskspawn\" has no class \"Nope\"\n");
  EXPECT_EQ(run(kModule, kClass, "nope\nline", nullptr),
            "qelkit child task: class \"Probe\" has no operation \"nope\\nline\"\n");
  EXPECT_EQ(run(kModule, kClass, "echo", Json::array({"only one"})),
            "qelkit child task: Probe.echo takes 2 argument(s), 1 given\n");
  EXPECT_EQ(run(kModule, kClass, "fail", nullptr),
            "qelkit child task: tests.taskspawn.Probe.fail failed: probe failed on purpose\n");

  Process killed = start("selfkill");
  EXPECT_EQ(killed.wait(), -SIGKILL);
}

TEST(TaskSpawnChild, EntryRunsOnlyForDashCAndExitsWithStatus) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::string self = "prog", dash_c = "-c";
  std::string script = TaskFactory::build_script("/", kModule, kClass, "echo", Json::array({"", ""}));
  std::string broken = "import sys\n";
  char* ok_argv[] = {self.data(), dash_c.data(), script.data(), nullptr};
  char* broken_argv[] = {self.data(), dash_c.data(), broken.data(), nullptr};
  EXPECT_EXIT(qelkit::run_child_task(3, ok_argv, probe_table()), testing::ExitedWithCode(0), "");
  EXPECT_EXIT(qelkit::run_child_task(3, broken_argv, probe_table()), testing::ExitedWithCode(2),
              "^qelkit child task: malformed child script: expected 6 lines, found 1\n$");

  // The launcher's form: the arguments must be in the environment, well formed.
  std::string from_env = TaskFactory::build_script("/", kModule, kClass, "echo");
  char* env_argv[] = {self.data(), dash_c.data(), from_env.data(), nullptr};
  EXPECT_EXIT(qelkit::run_child_task(3, env_argv, probe_table()), testing::ExitedWithCode(2),
              "^qelkit child task: the arguments are missing: QELKIT_CHILD_ARGS is not set\n$");
  ::setenv(qelkit::kChildArgsVariable, "[\"one\", true]", 1);
  EXPECT_EXIT(qelkit::run_child_task(3, env_argv, probe_table()), testing::ExitedWithCode(2),
              "^qelkit child task: malformed child arguments \\(QELKIT_CHILD_ARGS\\): an argument of type boolean");
  ::setenv(qelkit::kChildArgsVariable, "[\"\", \"to err\"]", 1);
  EXPECT_EXIT(qelkit::run_child_task(3, env_argv, probe_table()), testing::ExitedWithCode(0), "^to err$");
  ::unsetenv(qelkit::kChildArgsVariable);
  // Anything but exactly [program, "-c", script] returns at once.
  qelkit::run_child_task(2, ok_argv, probe_table());
  char* other_argv[] = {self.data(), self.data(), script.data(), nullptr};
  qelkit::run_child_task(3, other_argv, probe_table());
  EXPECT_EQ(qelkit::current_child_script(), nullptr);
}

TEST(TaskSpawnChild, TheCommandLineCarriesNoArgument) {
  TempDir tmp;
  const std::string out = tmp / "out.txt", err = tmp / "err.txt", go = tmp / "go-SECRET-TOKEN";
  TaskFactory().create_task_with_output(kModule, kClass, "gate", Json::array({go}), out, err);
  ASSERT_TRUE(eventually([&] { return read_file(err) == "started\n"; })) << read_file(err);
  const int pid = std::stoi(read_file(out));
  // Every local user may read it: it holds the script alone, for the
  // child's whole life.
  const std::string cmdline = read_file("/proc/" + std::to_string(pid) + "/cmdline");
  write_file(go, "");
  const std::string head = fs::read_symlink("/proc/self/exe").string() + std::string(1, '\0') + "-c" + '\0';
  EXPECT_EQ(cmdline, head + TaskFactory::build_script(fs::current_path().string(), kModule, kClass, "gate") + '\0');
  EXPECT_EQ(cmdline.find("SECRET"), std::string::npos);
  ASSERT_TRUE(eventually([&] { return read_file(err) == "started\ndone\n"; }));
}

TEST(TaskSpawnChild, OutputFilesAreTruncatedAtOnceAndFilledAsTheChildRuns) {
  TempDir tmp;
  const std::string out = tmp / "out.txt", err = tmp / "err.txt", go = tmp / "go";
  write_file(out, "stale stale stale stale\n");
  write_file(err, "stale stale stale stale\n");

  TaskFactory().create_task_with_output(kModule, kClass, "gate", Json::array({go}), out, err);
  // Truncated before the child could write a byte, and the call did not wait:
  // the child is blocked on the go file.
  EXPECT_EQ(read_file(out).find("stale"), std::string::npos);
  EXPECT_EQ(read_file(err).find("stale"), std::string::npos);
  ASSERT_TRUE(eventually([&] { return read_file(err) == "started\n"; })) << read_file(err);
  const int pid = std::stoi(read_file(out));
  EXPECT_NE(proc_state(pid), 0);
  EXPECT_NE(proc_state(pid), 'Z');

  write_file(go, "");
  ASSERT_TRUE(eventually([&] { return read_file(err) == "started\ndone\n"; }));
  EXPECT_EQ(read_file(out), std::to_string(pid) + "\ndone\n");
  // Nobody holds a handle, yet the child does not stay behind as a zombie.
  EXPECT_TRUE(eventually([&] { return proc_state(pid) == 0; })) << "state " << proc_state(pid);
}

TEST(TaskSpawnChild, EmptyPathMeansTheHostsOwnStream) {
  TempDir tmp;
  const std::string host_out = tmp / "host-stdout.txt", err = tmp / "err.txt";
  std::fflush(stdout);
  const int saved = ::dup(1);
  const int file = ::open(host_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(file, 0);
  ::dup2(file, 1);
  ::close(file);
  TaskFactory().create_task_with_output(kModule, kClass, "echo", Json::array({"to host out", "to err file"}), "", err);
  ::dup2(saved, 1);
  ::close(saved);
  EXPECT_TRUE(eventually([&] { return read_file(host_out) == "to host out" && read_file(err) == "to err file"; }))
      << read_file(host_out) << " / " << read_file(err);
}

TEST(TaskSpawnChild, FilesThatCannotBeOpenedStartNothingAndLeakNothing) {
  TempDir tmp;
  const std::string out = tmp / "out.txt", missing = tmp / "no-such-dir/err.txt", go = tmp / "go";
  const auto kids = children_of_self();
  const auto fds = open_fd_count();
  TaskFactory factory;
  try {
    factory.create_task_with_output(kModule, kClass, "gate", Json::array({go}), missing, out);
    ADD_FAILURE() << "no error";
  } catch (const SystemError& e) {
    EXPECT_NE(std::string(e.what()).find("no-such-dir/err.txt"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(file_exists(out));  // never reached
  EXPECT_THROW(factory.create_task_with_output(kModule, kClass, "gate", Json::array({go}), out, missing), SystemError);
  EXPECT_TRUE(file_exists(out));  // opened first, then closed again
  EXPECT_EQ(open_fd_count(), fds);
  for (int pid : children_of_self()) {  // a started child would still be waiting for the go file
    EXPECT_NE(std::find(kids.begin(), kids.end(), pid), kids.end()) << "unexpected child " << pid;
  }

  // A caller's descriptor that is not open.
  EXPECT_THROW(start("record", nullptr, StdStream::from_fd(987)), SystemError);
  EXPECT_EQ(open_fd_count(), fds);
}

TEST(TaskSpawnChild, WorkingDirectoryThatIsGoneFailsTheCall) {
  TempDir tmp("gone");
  const std::string out = (tmp.base / "out.txt").string();
  const auto fds = open_fd_count();
  {
    ScopedCwd cwd(tmp.path);
    fs::remove(tmp.path);
    EXPECT_THROW(start("record"), SystemError);
    EXPECT_THROW(TaskFactory().create_task_with_output(kModule, kClass, "record", nullptr, out), SystemError);
  }
  EXPECT_TRUE(file_exists(out));
  EXPECT_EQ(open_fd_count(), fds);
}

TEST(TaskSpawnChild, InheritsNoDescriptorButItsStreams) {
  const int leaky = ::open("/dev/null", O_RDONLY);  // deliberately not close-on-exec
  ASSERT_GE(leaky, 0);
  Process child = start("fds", nullptr, StdStream::pipe(), StdStream::pipe(), StdStream::pipe());
  auto [out, err] = child.communicate();
  ::close(leaky);
  EXPECT_EQ(child.wait(), 0) << err;
  EXPECT_EQ(Json::parse(out), Json::parse("[0, 1, 2]"));
}

// Passed descriptors arrive at 3, 4, ... as their variables say (a value the
// host inherited is replaced), and nothing else leaks beside them.
TEST(TaskSpawnChild, PassedDescriptorsArriveWhereTheirVariablesSay) {
  ASSERT_EQ(::setenv("PASSED_A_FD", "77", 1), 0);
  int a[2], b[2];
  ASSERT_EQ(::pipe2(a, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(b, O_CLOEXEC), 0);
  const int leaky = ::open("/dev/null", O_RDONLY);  // deliberately not close-on-exec
  Process child = TaskFactory().create_task(kModule, kClass, "passed", Json::array({"PASSED_A_FD", "PASSED_B_FD"}),
                                            StdStream::inherit(), StdStream::pipe(), StdStream::pipe(),
                                            {PassedFd{b[1], "PASSED_B_FD"}, PassedFd{a[1], "PASSED_A_FD"}});
  ::close(leaky);
  ::close(a[1]);
  ::close(b[1]);
  auto [out, err] = child.communicate();
  EXPECT_EQ(child.wait(), 0) << err;
  EXPECT_EQ(Json::parse(out), Json::parse("[0, 1, 2, 3, 4]"));
  auto drain = [](int fd) {
    std::string text(64, '\0');
    const ssize_t n = ::read(fd, text.data(), text.size());
    ::close(fd);
    text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return text;
  };
  EXPECT_EQ(drain(b[0]), "3");
  EXPECT_EQ(drain(a[0]), "4");
  EXPECT_STREQ(std::getenv("PASSED_A_FD"), "77") << "the host's own environment is untouched";
  ::unsetenv("PASSED_A_FD");

  EXPECT_THROW(TaskFactory().create_task(kModule, kClass, "fds", nullptr, {}, {}, {}, {PassedFd{0, "A=B"}}),
               InvalidArgumentError);
  EXPECT_THROW(TaskFactory().create_task(kModule, kClass, "fds", nullptr, {}, {}, {}, {PassedFd{-1, "GOOD"}}),
               SystemError);
}

TEST(TaskSpawnChild, StreamsCanBeDescriptorsOrTextPipes) {
  TempDir tmp;
  const std::string path = tmp / "via-fd.txt";
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  // The same descriptor for both streams, given as the caller's own.
  Process child = start("echo", Json::array({"out;", "err;"}), StdStream::from_fd(fd), StdStream::from_fd(fd));
  EXPECT_EQ(child.wait(), 0);
  EXPECT_GE(::fcntl(fd, F_GETFD), 0);  // the caller still owns it
  ::close(fd);
  EXPECT_EQ(read_file(path), "out;err;");

  // Invalid bytes arrive as U+FFFD.
  Process bytes = start("bytes", Json::array({"41ff42e282"}));
  EXPECT_EQ(bytes.read_stdout_all(), "A\xEF\xBF\xBD" "B\xEF\xBF\xBD");
  EXPECT_EQ(bytes.read_stdout_all(), "");  // at the end, stays at the end
  EXPECT_EQ(bytes.wait(), 0);
  EXPECT_THROW(bytes.write_stdin("x"), InvalidArgumentError);

  // A megabyte through standard input and back, without deadlock.
  std::string big;
  for (int i = 0; big.size() < (1u << 20); ++i) big += "line " + std::to_string(i) + " ü\n";
  Process cat = start("cat", nullptr, StdStream::pipe(), StdStream::pipe(), StdStream::pipe());
  auto [out, err] = cat.communicate(big);
  EXPECT_EQ(cat.wait(), 0);
  EXPECT_EQ(out, big);
  EXPECT_EQ(err, "");

  Process cat2 = start("cat", nullptr, StdStream::pipe(), StdStream::inherit(), StdStream::pipe());
  cat2.write_stdin("hello ");
  cat2.write_stdin("again");
  cat2.close_stdin();
  EXPECT_EQ(cat2.read_stdout_all(), "hello again");
  EXPECT_EQ(cat2.wait(), 0);

  // Writing to a child that has ended is an error, not a SIGPIPE for the host.
  Process early = start("fail", nullptr, StdStream::pipe(), StdStream::pipe(), StdStream::pipe());
  early.read_stderr_all();
  early.wait();
  EXPECT_THROW(early.write_stdin(std::string(1 << 17, 'x')), SystemError);
}

TEST(TaskSpawnChild, DroppedHandlesAreReapedWithoutStealingOtherStatuses) {
  TempDir tmp;
  const std::string go = tmp / "go";
  // An unrelated child of the host that someone else waits for.
  const char* go_path = go.c_str();
  const pid_t other = ::fork();
  if (other == 0) {
    while (::access(go_path, F_OK) != 0) ::usleep(10000);
    ::_exit(7);
  }
  ASSERT_GT(other, 0);

  Process kept = start("gate", Json::array({go}));
  const int kept_pid = kept.pid();
  EXPECT_FALSE(kept.poll().has_value());
  int dropped_pid;
  {
    Process dropped = start("gate", Json::array({go}));
    dropped_pid = dropped.pid();
    Process moved = std::move(dropped);
    EXPECT_EQ(moved.pid(), dropped_pid);
  }
  write_file(go, "");
  EXPECT_EQ(kept.wait(), 0);
  EXPECT_EQ(kept.wait(), 0);
  EXPECT_EQ(kept.poll(), 0);
  EXPECT_TRUE(eventually([&] { return proc_state(dropped_pid) == 0; })) << "state " << proc_state(dropped_pid);
  EXPECT_NE(kept_pid, dropped_pid);

  int st = 0;
  ASSERT_EQ(::waitpid(other, &st, 0), other);
  EXPECT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 7);
}

}  // namespace

int main(int argc, char** argv) {
  qelkit::run_child_task(argc, argv, probe_table());
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
