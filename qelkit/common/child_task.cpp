// The child's side of a child task: reading the script back and running the
// operation it names (the launcher's side is taskspawn.cpp).
#include "qelkit/common/taskspawn.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qelkit/common/internal/child_script.hpp"
#include "qelkit/common/errors.hpp"

namespace qelkit {

namespace {

using detail::args_from_environment_line;
using detail::check_argument;
using detail::check_names;
using detail::shown;

// Line 0 stands for the arguments taken from the environment.
[[noreturn]] void bad_line(int line, const std::string& why) {
  if (line == 0) {
    throw InvalidArgumentError(std::string("malformed child arguments (") + kChildArgsVariable + "): " + why);
  }
  throw InvalidArgumentError("malformed child script: line " + std::to_string(line) + ": " + why);
}

std::string_view strip(std::string_view line, int n, std::string_view prefix, std::string_view suffix) {
  if (line.size() < prefix.size() + suffix.size() || line.substr(0, prefix.size()) != prefix ||
      line.substr(line.size() - suffix.size()) != suffix) {
    bad_line(n, "expected " + shown(std::string(prefix) + "..." + std::string(suffix)) + ", found " + shown(line));
  }
  return line.substr(prefix.size(), line.size() - prefix.size() - suffix.size());
}

Json parse_literal(std::string_view text, int n) {
  auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  if (text.empty() || space(text.front()) || space(text.back())) {
    bad_line(n, "literal " + shown(text) + " is empty or has surrounding white space");
  }
  try {
    return Json::parse(text);
  } catch (const Json::exception& e) {
    bad_line(n, "literal " + shown(text) + " is not JSON: " + e.what());
  }
}

std::string text_from(std::string_view literal, int n, const char* what) {
  Json v = parse_literal(literal, n);
  if (!v.is_string()) bad_line(n, std::string(what) + " must be a JSON text, found " + shown(literal));
  return v.get<std::string>();
}

// An argument list: a JSON list of what check_argument accepts.
Json args_literal(std::string_view text, int n) {
  Json args = parse_literal(text, n);
  if (!args.is_array()) bad_line(n, "the arguments must be a JSON list, found " + shown(text));
  try {
    check_argument(args, 0);
  } catch (const InvalidArgumentError& e) {
    bad_line(n, e.what());
  }
  return args;
}

// Takes the arguments' variable out of this process's environment: a copy of
// its value, or nullopt when it is not set. The value's bytes are
// overwritten before the variable is removed, so neither a later reader of
// this process's environment nor a process it starts sees them.
std::optional<std::string> take_args_variable() {
  char* value = std::getenv(kChildArgsVariable);
  if (value == nullptr) return std::nullopt;
  std::string copy(value);
  ::explicit_bzero(value, copy.size());
  ::unsetenv(kChildArgsVariable);
  return copy;
}

ChildScript*& running_script() {
  static ChildScript* script = nullptr;
  return script;
}

// One line for standard error: control characters become spaces.
std::string one_line(std::string s) {
  for (char& c : s) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  }
  return s;
}

[[noreturn]] void end_child(int status, const std::string& failure) {
  std::cout.flush();
  std::fflush(stdout);
  if (status != 0) {
    std::string line = "qelkit child task: " + one_line(failure) + "\n";
    std::fputs(line.c_str(), stderr);
  }
  std::cerr.flush();
  std::fflush(stderr);
  std::exit(status);
}

}  // namespace

ChildScript parse_child_script(std::string_view script) {
  if (script.empty() || script.back() != '\n') {
    throw InvalidArgumentError("malformed child script: it does not end with a line feed");
  }
  std::vector<std::string_view> lines;
  std::string_view rest = script.substr(0, script.size() - 1);
  while (true) {
    auto lf = rest.find('\n');
    lines.push_back(rest.substr(0, lf));
    if (lf == std::string_view::npos) break;
    rest.remove_prefix(lf + 1);
  }
  if (lines.size() != 6) {
    throw InvalidArgumentError("malformed child script: expected 6 lines, found " + std::to_string(lines.size()));
  }

  ChildScript s;
  if (lines[0] != "import sys") bad_line(1, "expected \"import sys\", found " + shown(lines[0]));
  s.project_root = text_from(strip(lines[1], 2, "sys.path.insert(0, ", ")"), 2, "the project root");

  std::string_view import = strip(lines[2], 3, "from ", "");
  auto sep = import.find(" import ");
  if (sep == std::string_view::npos) bad_line(3, "expected \"from <module> import <class>\", found " + shown(lines[2]));
  s.module_name = std::string(import.substr(0, sep));
  s.class_name = std::string(import.substr(sep + 8));
  try {
    check_names(s.module_name, s.class_name);
  } catch (const InvalidArgumentError& e) {
    bad_line(3, e.what());
  }

  if (lines[3] == args_from_environment_line(kChildArgsVariable)) {
    s.args = Json::array();
    s.args_from_environment = true;
  } else {
    s.args = args_literal(strip(lines[3], 4, "args = ", ""), 4);
  }

  if (lines[4] != "obj = " + s.class_name + "()") {
    bad_line(5, "expected " + shown("obj = " + s.class_name + "()") + ", found " + shown(lines[4]));
  }
  s.method_name = text_from(strip(lines[5], 6, "getattr(obj, ", ")(*args)"), 6, "the method name");
  return s;
}

Json parse_child_args(std::string_view text) { return args_literal(text, 0); }

const ChildScript* current_child_script() { return running_script(); }

void run_child_task(int argc, char** argv, const std::vector<ChildTask>& table) {
  if (argc != 3 || argv == nullptr || argv[1] == nullptr || argv[2] == nullptr || std::string_view(argv[1]) != "-c") {
    return;
  }
  // First of all, so that nothing this process starts can inherit it.
  const std::optional<std::string> args_text = take_args_variable();
  std::string failure;
  try {
    static ChildScript script;
    script = parse_child_script(argv[2]);
    if (script.args_from_environment) {
      if (!args_text) {
        throw InvalidArgumentError(std::string("the arguments are missing: ") + kChildArgsVariable + " is not set");
      }
      script.args = parse_child_args(*args_text);
    }
    const ChildTask* task = nullptr;
    bool module_known = false, class_known = false;
    for (const auto& row : table) {
      if (row.module_name != script.module_name) continue;
      module_known = true;
      if (row.class_name != script.class_name) continue;
      class_known = true;
      if (row.method_name == script.method_name) {
        task = &row;
        break;
      }
    }
    if (!module_known) {
      failure = "no module named " + shown(script.module_name);
    } else if (!class_known) {
      failure = "module " + shown(script.module_name) + " has no class " + shown(script.class_name);
    } else if (task == nullptr) {
      failure = "class " + shown(script.class_name) + " has no operation " + shown(script.method_name);
    } else if (!task->run) {
      failure = "operation " + shown(script.method_name) + " has nothing to run";
    } else if (task->arg_count >= 0 && script.args.size() != static_cast<std::size_t>(task->arg_count)) {
      failure = script.class_name + "." + script.method_name + " takes " + std::to_string(task->arg_count) +
                " argument(s), " + std::to_string(script.args.size()) + " given";
    } else {
      running_script() = &script;
      const std::string where = script.module_name + "." + script.class_name + "." + script.method_name;
      try {
        task->run(script.args);
      } catch (const std::exception& e) {
        end_child(1, where + " failed: " + e.what());
      } catch (...) {
        end_child(1, where + " failed with an unknown exception");
      }
      end_child(0, "");
    }
  } catch (const std::exception& e) {
    failure = e.what();
  }
  // Not a child script this host can run: a wrong command line.
  end_child(2, failure);
}

}  // namespace qelkit
