// The child-task script's shared vocabulary (internal to taskspawn): the
// checks and literals that the launcher writes a script with and the child's
// runner reads it back with, so that both sides agree character for character.
#pragma once

#include <string>
#include <string_view>

#include "qelkit/common/json.hpp"

namespace qelkit::detail {

// Nested lists deeper than this are refused, both when writing and reading a
// script, so that neither side can be driven into deep recursion.
inline constexpr int kMaxListDepth = 64;

// A text shown in a message: JSON-quoted, so it is one line whatever it holds.
std::string shown(std::string_view text);

// Throws InvalidArgumentError unless module_name is a dotted name of
// identifiers and class_name an identifier.
void check_names(std::string_view module_name, std::string_view class_name);

// JSON text literal of `text`; InvalidArgumentError naming `what` when it is
// not valid UTF-8.
std::string text_literal(const std::string& text, const char* what);

// Refuses (InvalidArgumentError) anything that is not a text, a finite number
// or a list of them nested at most kMaxListDepth deep.
void check_argument(const Json& v, int depth);

// The script's fourth line when the arguments come from the environment
// variable `variable`.
std::string args_from_environment_line(std::string_view variable);

}  // namespace qelkit::detail
