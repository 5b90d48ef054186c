#include "entry_points.hpp"

#include <forward_list>
#include <string>

namespace tessary::py {

namespace {

// Texts that the interpreter keeps pointers to for the process lifetime.
const char* lasting(std::string text) {
  static std::forward_list<std::string> texts;
  return texts.emplace_front(std::move(text)).c_str();
}

}  // namespace

const char* callable_name(std::string_view display_name) {
  if (display_name.ends_with("()")) display_name.remove_suffix(2);
  const std::size_t dot = display_name.rfind('.');
  if (dot == std::string_view::npos) return lasting(std::string(display_name));
  const std::string_view last = display_name.substr(dot + 1);
  return lasting(std::string(last == "__new__" ? display_name.substr(0, dot) : last));
}

const char* docstring(const char* name, const char* bound_name,
                      std::span<const Parameter> parameters, const char* body) {
  std::string text = name;
  text += '(';
  const char* separator = "";
  if (bound_name != nullptr) {
    text += bound_name;
    separator = ", ";
  }
  for (const Parameter& parameter : parameters) {
    text += separator;
    text += parameter.name;
    if (!parameter.required) {
      text += '=';
      text += parameter.default_text;
    }
    separator = ", ";
  }
  text += ")\n--\n\n";
  text += body;
  return lasting(std::move(text));
}

}  // namespace tessary::py
