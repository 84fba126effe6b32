// parse_child_script on arbitrary bytes: it either returns a script or throws
// InvalidArgumentError. What it accepts must be writable again: build_script
// of the parsed parts gives a script that parses to the same parts.
#include <cstddef>
#include <cstdint>
#include <exception>

#include "fuzz_support.hpp"
#include "qelkit/common/errors.hpp"
#include "qelkit/common/taskspawn.hpp"

using qelkit_fuzz::fail;
using qelkit_fuzz::unexpected;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
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
    rebuilt = qelkit::TaskFactory::build_script(parsed.project_root, parsed.module_name, parsed.class_name,
                                                parsed.method_name, parsed.args);
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
      again.args != parsed.args) {
    fail("a rebuilt script parses to other parts");
  }
  // build_script writes one canonical spelling; rebuilding that is a fixed point.
  std::string twice;
  try {
    twice = qelkit::TaskFactory::build_script(again.project_root, again.module_name, again.class_name,
                                              again.method_name, again.args);
  } catch (const std::exception& e) {
    unexpected("build_script of a rebuilt script", e);
  }
  if (twice != rebuilt) fail("build_script is not stable on its own output");
  return 0;
}
