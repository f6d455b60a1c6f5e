#pragma once
// Text signatures, parsed at compile time. The text of an entry point, such as
// "validate_binding(binding, *, cwd=None, env=None, check_git=True, options=None)",
// is the single source of its name, its parameter names and their order, the
// keyword-only marker and the defaults; it is also the docstring from which
// Python reads the signature.

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>

namespace worktree_runtime::python {

// A string literal as a template argument.
template <std::size_t N>
struct FixedString {
  char chars[N]{};
  consteval FixedString(const char (&text)[N]) { std::copy_n(text, N, chars); }
  constexpr std::string_view view() const { return {chars, N - 1}; }
};

// What an omitted argument stands for; `required` parameters have no default.
enum class Default { required, none, empty_text, false_flag, true_flag };

struct Parameter {
  std::string_view name;
  bool keyword_only = false;
  Default default_value = Default::required;
};

namespace signature_text {

// Index of the first `wanted` in `text`, or its size. A plain loop: the
// library's find is not a constant expression under -fsanitize=undefined.
constexpr std::size_t index_of(std::string_view text, char wanted) {
  std::size_t index = 0;
  while (index < text.size() && text[index] != wanted) ++index;
  return index;
}

constexpr std::string_view function_name(std::string_view signature) {
  return signature.substr(0, index_of(signature, '('));
}

constexpr std::string_view parameter_list(std::string_view signature) {
  const std::size_t open = index_of(signature, '(');
  if (open == signature.size() || signature.back() != ')') throw "malformed text signature";
  return signature.substr(open + 1, signature.size() - open - 2);
}

// Calls `visit(item)` for each item of the parameter list, which ", " separates.
// A method's leading "$self" or "$type" names its receiver, not a parameter.
template <class Visit>
consteval void for_each_item(std::string_view signature, Visit visit) {
  std::string_view rest = parameter_list(signature);
  if (rest.starts_with('$')) {
    const std::size_t comma = index_of(rest, ',');
    rest = comma == rest.size() ? std::string_view{} : rest.substr(comma + 2);
  }
  while (!rest.empty()) {
    const std::size_t comma = index_of(rest, ',');
    visit(rest.substr(0, comma));
    rest = comma == rest.size() ? std::string_view{} : rest.substr(comma + 2);
  }
}

consteval std::size_t count_parameters(std::string_view signature) {
  std::size_t count = 0;
  for_each_item(signature, [&](std::string_view item) { count += item != "*"; });
  return count;
}

constexpr Default parse_default(std::string_view text) {
  if (text == "None") return Default::none;
  if (text == "\"\"") return Default::empty_text;
  if (text == "False") return Default::false_flag;
  if (text == "True") return Default::true_flag;
  throw "unsupported default in text signature";
}

template <std::size_t Arity>
consteval std::array<Parameter, Arity> parse_parameters(std::string_view signature) {
  std::array<Parameter, Arity> parameters{};
  std::size_t index = 0;
  bool keyword_only = false;
  for_each_item(signature, [&](std::string_view item) {
    if (item == "*") {
      keyword_only = true;
      return;
    }
    const std::size_t equals = index_of(item, '=');
    parameters[index++] = Parameter{item.substr(0, equals), keyword_only,
                                    equals == item.size() ? Default::required : parse_default(item.substr(equals + 1))};
  });
  return parameters;
}

// `text` followed by `suffix` and a NUL, as a static character array.
template <std::size_t Length>
consteval std::array<char, Length + 1> c_string(std::string_view text, std::string_view suffix = {}) {
  std::array<char, Length + 1> chars{};
  std::copy(text.begin(), text.end(), chars.begin());
  std::copy(suffix.begin(), suffix.end(), chars.begin() + static_cast<std::ptrdiff_t>(text.size()));
  return chars;
}

inline constexpr std::string_view kDocSuffix = "\n--\n\n";

}  // namespace signature_text

template <FixedString Text>
struct Signature {
  static constexpr std::string_view text = Text.view();
  static constexpr std::string_view function_name = signature_text::function_name(text);
  static constexpr std::size_t arity = signature_text::count_parameters(text);
  static constexpr std::array<Parameter, arity> parameters = signature_text::parse_parameters<arity>(text);
  // NUL-terminated texts for PyMethodDef: the name, and the docstring that
  // carries only the text signature (so `__doc__` is None).
  static constexpr auto name_c_string = signature_text::c_string<function_name.size()>(function_name);
  static constexpr auto doc_c_string =
      signature_text::c_string<text.size() + signature_text::kDocSuffix.size()>(text, signature_text::kDocSuffix);
};

}  // namespace worktree_runtime::python
