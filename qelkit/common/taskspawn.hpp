// TaskFactory: runs one operation of one class in a child process.
//
// The child is a new instance of the host's own executable, started as
// "<host> -c <script>" with a six-line script that names a module, a class
// and an operation:
//
//   import sys
//   sys.path.insert(0, "<project root>")
//   from <dotted.module> import <Class>
//   args = __import__("json").loads(__import__("os").environ.pop("QELKIT_CHILD_ARGS"))
//   obj = <Class>()
//   getattr(obj, "<operation>")(*args)
//
// The arguments never travel on the command line: every local user can read
// any process's command line (/proc/<pid>/cmdline), and they may be secrets
// (a login token). They travel in the child's environment instead, which
// only the same user (and root) can read (/proc/<pid>/environ is private):
// the launcher sets the variable QELKIT_CHILD_ARGS (kChildArgsVariable) in
// the environment it hands to the child, to the argument list in JSON
// notation, replacing any value the host inherited and leaving the host's own
// environment alone. The child reads the variable once and removes it before
// the operation runs, so that nothing the child starts inherits it: a C++
// child in run_child_task(), which also overwrites the value's bytes; a
// Python child on the script's fourth line, which is valid Python.
//
// JSON notation is also the literal notation of texts, numbers and lists in
// the script language the script's shape follows, so the script's literals
// (project root, operation name) are JSON too, and the C++ runner reads the
// script back with a JSON parser and a fixed fourth line, never evaluating
// anything. The launcher knows nothing of the classes it starts: every host
// program calls run_child_task() at the top of main() with its own table of
// (module, class, operation) rows.
//
// A further channel to a child (say, a pipe for its outcome) follows the same
// rule: what is private goes through the environment or an inherited
// descriptor, never through the command line.
//
// The launcher returns as soon as the child runs and never waits for it. A
// Process handle that is dropped before its child has been waited for hands
// the child to a background reaper, so a long-running host collects no
// zombies; the reaper waits only for the children whose handles were dropped
// (never for "any child"), so it never steals another waiter's status.
//
// Thread safety: TaskFactory keeps no state; calls from several threads at
// once are safe. A Process is used by one thread at a time. Every file
// descriptor the launcher opens is close-on-exec, and the child inherits no
// descriptor beyond its three standard streams and those the caller passes
// explicitly (PassedFd).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "qelkit/common/json.hpp"
#include "qelkit/common/text.hpp"  // decode_utf8_replace, which the captured output goes through

namespace qelkit {

// The environment variable that carries a child's argument list.
inline constexpr const char* kChildArgsVariable = "QELKIT_CHILD_ARGS";

// Where one standard stream of a child goes.
struct StdStream {
  enum class Kind {
    inherit,  // the child shares the host's own stream
    pipe,     // a pipe to the host, read or written through the Process
    fd,       // an open file descriptor of the caller (duplicated; the caller keeps its own)
  };
  Kind kind = Kind::inherit;
  int fd = -1;

  static StdStream inherit() { return {}; }
  static StdStream pipe() { return {Kind::pipe, -1}; }
  static StdStream from_fd(int fd) { return {Kind::fd, fd}; }
};

// A started child process. Move-only. Pipes exist only for the streams the
// caller asked to be pipes; they are text streams: what is read is decoded
// with decode_utf8_replace(), what is written is sent as given (UTF-8).
// Using a stream that is not a pipe throws InvalidArgumentError.
class Process {
 public:
  Process(Process&& other) noexcept;
  Process& operator=(Process&& other) noexcept;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  // Closes the pipes (standard input first, so the child sees its end). A
  // child that has not been waited for is handed to the reaper.
  ~Process();

  int pid() const { return pid_; }

  // Blocks until the child ends and returns its exit status: the exit code,
  // or minus the signal number that ended it. Later calls return the same
  // value. Throws SystemError when the status cannot be collected (for
  // example when the host ignores SIGCHLD, so the system discards it).
  int wait();
  // The exit status if the child has ended, else nullopt; never blocks.
  std::optional<int> poll();

  // Writes all of `text` to the child's standard input. Throws SystemError
  // when the child has closed its end (no SIGPIPE reaches the host).
  void write_stdin(std::string_view text);
  // Closes the host's end of the standard-input pipe (the child reads EOF).
  // Harmless when already closed.
  void close_stdin();
  // Reads the stream until the child closes it. With both output streams
  // piped, a child that fills one while the host reads the other can block;
  // use communicate() then.
  std::string read_stdout_all();
  std::string read_stderr_all();
  // Sends `input` to standard input (if piped) and closes it, reads both
  // output streams (those that are piped) to their end without risk of
  // deadlock, then waits for the child. Returns {stdout text, stderr text};
  // a stream that is not piped gives "". A child that stops reading its
  // input early is not an error.
  std::pair<std::string, std::string> communicate(std::string_view input = {});

 private:
  friend class TaskFactory;
  Process(int pid, int in, int out, int err) : pid_(pid), in_(in), out_(out), err_(err) {}
  void release();
  std::string read_all(int& fd, const char* name);

  int pid_ = -1;
  std::optional<int> status_;
  int in_ = -1;
  int out_ = -1;
  int err_ = -1;
};

// A descriptor of the caller's that a child inherits beyond its standard
// streams (say, a pipe for its outcome). The child finds it at a number of
// its own, 3 or above, which the launcher writes in decimal into the child's
// environment variable `variable`; the caller keeps its own descriptor.
struct PassedFd {
  int fd = -1;
  std::string variable;
};

// Who runs a child task. By default the child is the host's own executable
// (/proc/self/exe) and the script's project root is the working directory.
// A host whose executable is an interpreter that finds qelkit's modules
// elsewhere (a Python host: its interpreter and the folder holding the qelkit
// package) names both here, and the options the interpreter takes before
// "-c" for qelkit's own tasks (module "qelkit" or below it), which need
// nothing but the project root: a Python host passes "-I", so that a login
// child never imports a module that someone left in the working directory,
// which "-c" would otherwise put first on the module path. Other tasks (a
// host's own modules) start without them. The child runs in the working
// directory either way. Process-wide; an empty field keeps its default; safe
// to call from any thread.
struct ChildHost {
  std::string executable;   // started by this path, which is also argv[0]
  std::string module_root;  // the script's project root
  std::vector<std::string> own_task_options;  // before "-c", for qelkit's own tasks
};
void set_child_host(ChildHost host);
ChildHost child_host();

class TaskFactory {
 public:
  // Starts "<host> -c <script>" for module_name/class_name/method_name with
  // method_args (a JSON array; null means []) and returns its handle at once.
  // The script is build_script()'s four-argument form; the arguments go into
  // the child's environment as child_args_text(method_args), under
  // kChildArgsVariable. The child runs in the host's current working
  // directory (the project root), with a copy of the host's environment taken
  // now plus that variable, an empty signal mask, SIGPIPE and SIGXFSZ at
  // their defaults, and its standard streams as given (inherit, pipe or a
  // caller's descriptor). Each of `passed` is inherited as PassedFd says,
  // in order from descriptor 3; every other descriptor is closed in the child.
  // Throws InvalidArgumentError when the names or arguments cannot be written
  // (see build_script and child_args_text) or a passed variable name is empty
  // or holds '=', SystemError when the working
  // directory cannot be read, a descriptor is unusable or the child cannot be
  // started (also when the arguments exceed what the system allows in one
  // environment variable, 128 KiB).
  Process create_task(const std::string& module_name, const std::string& class_name,
                      const std::string& method_name, const Json& method_args = nullptr,
                      StdStream stdin_ = {}, StdStream stdout_ = {}, StdStream stderr_ = {},
                      const std::vector<PassedFd>& passed = {});

  // Starts the same child with its standard output and error sent to files
  // (created or truncated before the child starts; an empty path means the
  // host's own stream) and its standard input shared with the host. Returns
  // without waiting; the child is reaped in the background. Throws
  // SystemError naming the path when a file cannot be opened (no child is
  // started, and a file already opened is closed), and whatever create_task
  // throws (the opened files are closed, standard output's first).
  void create_task_with_output(const std::string& module_name, const std::string& class_name,
                               const std::string& method_name, const Json& method_args = nullptr,
                               const std::string& stdout_path = "", const std::string& stderr_path = "");

  // The script create_task starts: its fourth line takes the arguments from
  // the environment (see the top of this file). module_name must be a dotted
  // name and class_name a plain name ([A-Za-z_][A-Za-z0-9_]*), since they go
  // in unquoted. project_root and method_name go in as JSON texts (non-ASCII
  // as UTF-8, control characters, quotes and backslashes escaped). Throws
  // InvalidArgumentError naming what is wrong (also for text that is not
  // valid UTF-8).
  static std::string build_script(const std::string& project_root, const std::string& module_name,
                                  const std::string& class_name, const std::string& method_name);

  // The same script with the arguments written into it as a literal on the
  // fourth line ("args = [...]"): thirteen pieces joined with nothing in
  // between, the fixed ones 85 characters together. Whoever starts such a
  // script puts its arguments on a command line that every local user can
  // read, so it is only for arguments that are not secret; the launcher never
  // uses it. method_args as child_args_text() accepts them.
  static std::string build_script(const std::string& project_root, const std::string& module_name,
                                  const std::string& class_name, const std::string& method_name,
                                  const Json& method_args);

  // The argument list in JSON notation, as the child reads it: method_args
  // must be null (written as []) or an array whose elements are texts, finite
  // numbers or arrays of them (at any depth); lists are written with ", "
  // between elements. Booleans, null and objects are refused: their JSON
  // spelling is not the script language's. Throws InvalidArgumentError
  // naming what is wrong (also for text that is not valid UTF-8).
  static std::string child_args_text(const Json& method_args);
};

// ---- Child side ----------------------------------------------------------

// What a child's script asks for.
struct ChildScript {
  std::string project_root;
  std::string module_name;
  std::string class_name;
  std::string method_name;
  Json args;  // always an array; empty until read when they come from the environment
  bool args_from_environment = false;  // the fourth line reads kChildArgsVariable
};

// Reads a script back, strictly: exactly the six lines either form of
// build_script() writes, each ending in a line feed; module and class names
// as build_script() requires them; the class on line 5 the one imported on
// line 3; literals that are JSON (never evaluated) of the right kind with no
// surrounding white space; a fourth line that is either build_script()'s
// environment line, character for character, or an argument literal as
// child_args_text() writes it. Throws InvalidArgumentError saying which line
// is wrong and why.
ChildScript parse_child_script(std::string_view script);

// Reads an argument list as child_args_text() writes it, as strictly as the
// script's literals. Throws InvalidArgumentError saying what is wrong.
Json parse_child_args(std::string_view text);

// One operation a host can run as a child task. `run` receives the argument
// array; arg_count, when not negative, is the exact number of arguments the
// operation takes (checked before run is called).
struct ChildTask {
  std::string module_name;
  std::string class_name;
  std::string method_name;
  std::function<void(const Json& args)> run;
  int arg_count = -1;
};

// The child-task entry; call it first thing in main(). When argv is exactly
// [program, "-c", script], takes the arguments' environment variable (reads
// it, overwrites its bytes and removes it, whichever form the script has),
// parses the script, looks (module, class, operation) up in `table`, runs it
// with the arguments and ends the process with status 0. Any failure writes
// one line "qelkit child task: <what went wrong>" to standard error and ends
// the process: with status 2 when the command line is not a child task this
// host can run (a malformed script, arguments missing from or malformed in
// the environment, an unknown module, class or operation, a wrong number of
// arguments), with status 1 when the operation itself fails. Standard
// streams are flushed before the end. With any other command line it returns
// at once and does nothing.
void run_child_task(int argc, char** argv, const std::vector<ChildTask>& table);

// The script of the child task being run by run_child_task(), or nullptr
// outside a child task. Lets an operation see its project root.
const ChildScript* current_child_script();

}  // namespace qelkit
