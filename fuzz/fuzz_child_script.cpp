// parse_child_script on arbitrary bytes: it either returns a script or throws
// InvalidArgumentError. What it accepts must be writable again: build_script
// of the parsed parts (in the form parsed: arguments from the environment or
// written in) gives a script that parses to the same parts. The same bytes
// as an argument list: parse_child_args returns a list or throws
// InvalidArgumentError, and child_args_text of that list reads back equal.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "qelkit/common/errors.hpp"
#include "qelkit/common/taskspawn.hpp"

using qelkit_fuzz::fail;
using qelkit_fuzz::unexpected;

namespace {

std::string build(const qelkit::ChildScript& s) {
  if (s.args_from_environment) {
    return qelkit::TaskFactory::build_script(s.project_root, s.module_name, s.class_name, s.method_name);
  }
  return qelkit::TaskFactory::build_script(s.project_root, s.module_name, s.class_name, s.method_name, s.args);
}

void check_args(std::string_view text) {
  qelkit::Json args;
  try {
    args = qelkit::parse_child_args(text);
  } catch (const qelkit::InvalidArgumentError&) {
    return;
  } catch (const std::exception& e) {
    unexpected("parse_child_args", e);
  }
  if (!args.is_array()) fail("parsed child arguments are not a list");
  try {
    if (qelkit::parse_child_args(qelkit::TaskFactory::child_args_text(args)) != args) {
      fail("child_args_text of accepted arguments reads back different");
    }
  } catch (const std::exception& e) {
    unexpected("child_args_text of accepted arguments", e);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  check_args(qelkit_fuzz::as_text(data, size));
  qelkit::ChildScript parsed;
  try {
    parsed = qelkit::parse_child_script(qelkit_fuzz::as_text(data, size));
  } catch (const qelkit::InvalidArgumentError&) {
    return 0;
  } catch (const std::exception& e) {
    unexpected("parse_child_script", e);
  }
  if (!parsed.args.is_array()) fail("parsed arguments are not a list");

  std::string rebuilt;
  try {
    rebuilt = build(parsed);
  } catch (const std::exception& e) {
    unexpected("build_script of an accepted script", e);
  }
  qelkit::ChildScript again;
  try {
    again = qelkit::parse_child_script(rebuilt);
  } catch (const std::exception& e) {
    unexpected("parse_child_script of a rebuilt script", e);
  }
  if (again.project_root != parsed.project_root || again.module_name != parsed.module_name ||
      again.class_name != parsed.class_name || again.method_name != parsed.method_name ||
      again.args != parsed.args || again.args_from_environment != parsed.args_from_environment) {
    fail("a rebuilt script parses to other parts");
  }
  // build_script writes one canonical spelling; rebuilding that is a fixed point.
  std::string twice;
  try {
    twice = build(again);
  } catch (const std::exception& e) {
    unexpected("build_script of a rebuilt script", e);
  }
  if (twice != rebuilt) fail("build_script is not stable on its own output");
  return 0;
}
