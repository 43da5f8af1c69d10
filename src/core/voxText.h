#pragma once
// Text helpers shared by every unit. Case-insensitive comparisons fold ASCII only, never
// by the locale: option names, extensions, "stdout", language codes.
#include <cstdint>
#include <string>
#include <string_view>

namespace kavrix {

constexpr char FoldAscii(char c) {
  return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

inline std::string LowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = FoldAscii(c);
  return out;
}

constexpr bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  return true;
}

constexpr bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

constexpr bool EndsWithNoCase(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         EqualsNoCase(text.substr(text.size() - suffix.size()), suffix);
}

// Position of part in text, or npos.
constexpr size_t FindNoCase(std::string_view text, std::string_view part) {
  if (part.size() > text.size()) return std::string_view::npos;
  for (size_t i = 0; i + part.size() <= text.size(); ++i)
    if (EqualsNoCase(text.substr(i, part.size()), part)) return i;
  return std::string_view::npos;
}

constexpr bool ContainsNoCase(std::string_view text, std::string_view part) {
  return FindNoCase(text, part) != std::string_view::npos;
}

// Where a file name's extension starts (its last "."), looking only at the last path
// component; the name's size when it has none. A leading dot names a hidden file.
constexpr size_t ExtensionStart(std::string_view name) {
  const size_t slash = name.rfind('/');
  const size_t base = slash == std::string_view::npos ? 0 : slash + 1;
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot <= base) return name.size();
  return dot;
}

// "movie.ac3" → ".ac3" (as written); "" without one.
constexpr std::string_view Extension(std::string_view name) {
  return name.substr(ExtensionStart(name));
}

// True for "stdout" and "stdout.<ext>" (ASCII case-insensitive), without a folder.
constexpr bool IsStdoutName(std::string_view name) {
  return EqualsNoCase(name.substr(0, ExtensionStart(name)), "stdout");
}

}  // namespace kavrix
