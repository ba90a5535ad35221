// The WQL subset the host engine answers, parsed into a query record. A pure
// function over text: no host access, safe on any thread.
//
//   SELECT <property>[, <property>...] | * FROM <class>
//          [WHERE <property> <op> <literal> [AND ...]]
//   ASSOCIATORS OF {<class>.<key>='<value>'} [WHERE AssocClass = <class>
//          [ResultClass = <class>]]
//
// Keywords and names match without regard to case. Operators: = != <> < > <= >=.
// A literal is quoted with ' or " (the quote doubled, or escaped with a
// backslash, stands for itself; a backslash before any other character is kept),
// or is a bare number or TRUE/FALSE.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "db/wmi_status.h"

enum class WqlOperator { kEqual, kNotEqual, kLess, kGreater, kLessEqual, kGreaterEqual };

struct WqlCondition {
  std::string property;
  WqlOperator op = WqlOperator::kEqual;
  std::string literal;  // the value with quotes and escapes removed
};

struct WqlQuery {
  enum class Kind { kSelect, kAssociators };
  Kind kind = Kind::kSelect;

  // SELECT: the properties in query order (empty with `allProperties`), the
  // class, and the conditions, all of which must hold.
  bool allProperties = false;
  std::vector<std::string> properties;
  std::string className;
  std::vector<WqlCondition> conditions;

  // ASSOCIATORS OF: the source object's class, key property and key value, and
  // the association and result classes (empty when not given).
  std::string objectClass;
  std::string objectKey;
  std::string objectValue;
  std::string assocClass;
  std::string resultClass;
};

struct WqlParseResult {
  WmiStatus status;  // WBEM_E_INVALID_QUERY with a detail text when the text is not valid WQL
  WqlQuery query;
};

WqlParseResult ParseWql(std::string_view text);

// `value` as a quoted WQL literal: in single quotes, with every quote and
// backslash escaped by a backslash, so that ParseWql reads back exactly
// `value` (a mount point or device name may hold either).
std::string QuoteWqlLiteral(std::string_view value);
