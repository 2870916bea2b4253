// The reserved words the statement parsers look for, by number (reserved
// words are recognised by number, so keywords are case-insensitive). For the
// statement parsers' own files.
#pragma once

#include <cstdint>
#include <string_view>

#include "sql/lexer.h"

namespace kivo::stmt_detail {

struct Words {
  static std::uint16_t N(std::string_view w) { return ReservedWordNumber(w); }
  std::uint16_t SELECT = N("SELECT"), ALL = N("ALL"), DISTINCT = N("DISTINCT"), TOP = N("TOP");
  std::uint16_t AS = N("AS"), INTO = N("INTO"), MEMORY = N("MEMORY"), FROM = N("FROM");
  std::uint16_t WHERE = N("WHERE"), GROUP = N("GROUP"), BY = N("BY"), HAVING = N("HAVING");
  std::uint16_t ORDER = N("ORDER"), ASC = N("ASC"), DESC = N("DESC"), PASSWORD = N("PASSWORD");
  std::uint16_t NATURAL = N("NATURAL"), CROSS = N("CROSS"), INNER = N("INNER"), LEFT = N("LEFT");
  std::uint16_t RIGHT = N("RIGHT"), FULL = N("FULL"), OUTER = N("OUTER"), JOIN = N("JOIN");
  std::uint16_t ON = N("ON"), USING = N("USING"), UNION = N("UNION"), EXCEPT = N("EXCEPT");
  std::uint16_t MINUS = N("MINUS"), INTERSECT = N("INTERSECT");
  std::uint16_t CORRESPONDING = N("CORRESPONDING");
  std::uint16_t INSERT = N("INSERT"), VALUES = N("VALUES"), UPDATE = N("UPDATE"), SET = N("SET");
  std::uint16_t DELETE = N("DELETE");
};

inline const Words& W() {
  static const Words words;
  return words;
}

}  // namespace kivo::stmt_detail
