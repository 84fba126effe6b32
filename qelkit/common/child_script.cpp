#include "qelkit/common/internal/child_script.hpp"

#include <algorithm>
#include <cmath>

#include "qelkit/common/errors.hpp"

namespace qelkit::detail {

// A text shown in a message: JSON-quoted, so it is one line whatever it holds.
std::string shown(std::string_view text) {
  return Json(std::string(text)).dump(-1, ' ', false, Json::error_handler_t::replace);
}


namespace {

bool is_identifier(std::string_view s) {
  auto alpha = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  if (s.empty() || !alpha(s.front())) return false;
  return std::all_of(s.begin(), s.end(), [&](char c) { return alpha(c) || digit(c); });
}

bool is_dotted_name(std::string_view s) {
  while (true) {
    auto dot = s.find('.');
    if (!is_identifier(s.substr(0, dot))) return false;
    if (dot == std::string_view::npos) return true;
    s.remove_prefix(dot + 1);
  }
}

}  // namespace

void check_names(std::string_view module_name, std::string_view class_name) {
  if (!is_dotted_name(module_name)) {
    throw InvalidArgumentError("module name " + shown(module_name) + " is not a dotted name of identifiers");
  }
  if (!is_identifier(class_name)) {
    throw InvalidArgumentError("class name " + shown(class_name) + " is not an identifier");
  }
}

// JSON text literal; refuses bytes that are not UTF-8.
std::string text_literal(const std::string& text, const char* what) {
  try {
    return Json(text).dump(-1, ' ', false, Json::error_handler_t::strict);
  } catch (const Json::type_error&) {
    throw InvalidArgumentError(std::string(what) + " is not valid UTF-8: " + shown(text));
  }
}

// Refuses anything that is not a text, a finite number or a list of them.
void check_argument(const Json& v, int depth) {
  switch (v.type()) {
    case Json::value_t::string:
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
      return;
    case Json::value_t::number_float:
      if (!std::isfinite(v.get<double>())) {
        throw InvalidArgumentError("argument " + v.dump() + " is not a finite number");
      }
      return;
    case Json::value_t::array:
      if (depth >= kMaxListDepth) {
        throw InvalidArgumentError("arguments nest lists deeper than " + std::to_string(kMaxListDepth) + " levels");
      }
      for (const auto& e : v) check_argument(e, depth + 1);
      return;
    default:
      throw InvalidArgumentError(std::string("an argument of type ") + v.type_name() +
                                 " has no literal in a child script (texts, numbers and lists only)");
  }
}

// The fourth line that takes the arguments from the environment: valid
// Python, which pops the variable so the child's own children do not inherit
// it; the C++ runner recognises it character for character.
std::string args_from_environment_line(std::string_view variable) {
  return "args = __import__(\"json\").loads(__import__(\"os\").environ.pop(" +
         text_literal(std::string(variable), "the variable name") + "))";
}

}  // namespace qelkit::detail
