#include "db/wql_parser.h"

#include <cctype>

namespace {

bool IsNameStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool IsNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }
bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

// Walks the query text once, left to right. Each Take* either consumes what it
// names and returns true, or leaves the position alone and returns false.
class Parser {
 public:
  explicit Parser(std::string_view text) : text(text) {}

  WqlParseResult Parse() {
    WqlParseResult result;
    SkipSpace();
    if (TakeKeyword("SELECT")) {
      ParseSelect(result.query);
    } else if (TakeKeyword("ASSOCIATORS")) {
      ParseAssociators(result.query);
    } else {
      Fail("the query must begin with SELECT or ASSOCIATORS OF");
    }
    if (error.empty()) {
      SkipSpace();
      if (pos < text.size()) Fail("unexpected text after the end of the query");
    }
    if (!error.empty()) {
      result.status = WmiStatus::Error(WBEM_E_INVALID_QUERY, error);
      result.query = WqlQuery();
    }
    return result;
  }

 private:
  void ParseSelect(WqlQuery& q) {
    q.kind = WqlQuery::Kind::kSelect;
    SkipSpace();
    if (Take('*')) {
      q.allProperties = true;
    } else {
      do {
        std::string name;
        if (!TakeName(name) || EqualsNoCase(name, "FROM")) {
          return Fail("expected a property name or *");
        }
        q.properties.push_back(std::move(name));
      } while (Take(','));
    }
    if (!TakeKeyword("FROM")) return Fail("expected FROM after the property list");
    if (!TakeName(q.className)) return Fail("expected a class name after FROM");
    if (!TakeKeyword("WHERE")) return;
    do {
      WqlCondition c;
      if (!TakeName(c.property)) return Fail("expected a property name in the WHERE clause");
      if (!TakeOperator(c.op)) return Fail("expected a comparison operator after " + c.property);
      if (!TakeLiteral(c.literal)) return;
      q.conditions.push_back(std::move(c));
    } while (TakeKeyword("AND"));
  }

  void ParseAssociators(WqlQuery& q) {
    q.kind = WqlQuery::Kind::kAssociators;
    if (!TakeKeyword("OF")) return Fail("expected OF after ASSOCIATORS");
    if (!Take('{')) return Fail("expected { before the object path");
    if (!TakeName(q.objectClass)) return Fail("expected a class name in the object path");
    if (!Take('.')) return Fail("expected . after the class name in the object path");
    if (!TakeName(q.objectKey)) return Fail("expected a key property in the object path");
    if (!Take('=')) return Fail("expected = after the key property in the object path");
    if (!TakeQuoted(q.objectValue)) return;
    if (!Take('}')) return Fail("expected } after the object path");
    if (!TakeKeyword("WHERE")) return;
    bool any = false;
    for (;;) {
      std::string* target = nullptr;
      if (TakeKeyword("AssocClass")) {
        target = &q.assocClass;
      } else if (TakeKeyword("ResultClass")) {
        target = &q.resultClass;
      } else {
        break;
      }
      if (!target->empty()) return Fail("the same ASSOCIATORS OF condition is given twice");
      if (!Take('=')) return Fail("expected = after AssocClass or ResultClass");
      if (!TakeName(*target)) return Fail("expected a class name after =");
      any = true;
    }
    if (!any) return Fail("expected AssocClass or ResultClass after WHERE");
  }

  void Fail(std::string message) {
    if (error.empty()) error = message + " (at offset " + std::to_string(pos) + ")";
  }

  void SkipSpace() {
    while (pos < text.size() && IsSpace(text[pos])) ++pos;
  }

  bool Take(char c) {
    SkipSpace();
    if (pos < text.size() && text[pos] == c) {
      ++pos;
      return true;
    }
    return false;
  }

  bool TakeName(std::string& out) {
    SkipSpace();
    if (pos >= text.size() || !IsNameStart(text[pos])) return false;
    size_t end = pos + 1;
    while (end < text.size() && IsNameChar(text[end])) ++end;
    out.assign(text.substr(pos, end - pos));
    pos = end;
    return true;
  }

  // A keyword is a whole word: SELECTx is a name, not SELECT.
  bool TakeKeyword(std::string_view keyword) {
    SkipSpace();
    if (text.size() - pos < keyword.size()) return false;
    if (!EqualsNoCase(text.substr(pos, keyword.size()), keyword)) return false;
    const size_t end = pos + keyword.size();
    if (end < text.size() && IsNameChar(text[end])) return false;
    pos = end;
    return true;
  }

  bool TakeOperator(WqlOperator& op) {
    SkipSpace();
    const std::string_view rest = text.substr(pos);
    struct Op {
      std::string_view text;
      WqlOperator op;
    };
    // Two-character operators first, so that <= is not read as <.
    static constexpr Op kOps[] = {
        {"!=", WqlOperator::kNotEqual},  {"<>", WqlOperator::kNotEqual},
        {"<=", WqlOperator::kLessEqual}, {">=", WqlOperator::kGreaterEqual},
        {"=", WqlOperator::kEqual},      {"<", WqlOperator::kLess},
        {">", WqlOperator::kGreater},
    };
    for (const Op& o : kOps) {
      if (rest.substr(0, o.text.size()) == o.text) {
        pos += o.text.size();
        op = o.op;
        return true;
      }
    }
    return false;
  }

  bool TakeQuoted(std::string& out) {
    SkipSpace();
    if (pos >= text.size() || (text[pos] != '\'' && text[pos] != '"')) {
      Fail("expected a quoted value");
      return false;
    }
    const char quote = text[pos];
    const size_t start = pos;
    ++pos;
    out.clear();
    while (pos < text.size()) {
      const char c = text[pos];
      if (c == '\\' && pos + 1 < text.size() && (text[pos + 1] == quote || text[pos + 1] == '\\')) {
        out += text[pos + 1];
        pos += 2;
      } else if (c == quote) {
        if (pos + 1 < text.size() && text[pos + 1] == quote) {
          out += quote;
          pos += 2;
        } else {
          ++pos;
          return true;
        }
      } else {
        out += c;
        ++pos;
      }
    }
    pos = start;
    Fail("the quoted value is not closed");
    return false;
  }

  bool TakeLiteral(std::string& out) {
    SkipSpace();
    if (pos < text.size() && (text[pos] == '\'' || text[pos] == '"')) return TakeQuoted(out);
    if (TakeKeyword("TRUE")) {
      out = "True";
      return true;
    }
    if (TakeKeyword("FALSE")) {
      out = "False";
      return true;
    }
    // A bare number: optional sign, digits, an optional fraction.
    size_t end = pos;
    if (end < text.size() && (text[end] == '-' || text[end] == '+')) ++end;
    const size_t digits = end;
    while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
    if (end < text.size() && text[end] == '.') {
      ++end;
      while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
    }
    if (end == digits || (end == digits + 1 && text[digits] == '.') ||
        (end < text.size() && IsNameChar(text[end]))) {
      Fail("expected a quoted value, a number, TRUE or FALSE");
      return false;
    }
    out.assign(text.substr(pos, end - pos));
    pos = end;
    return true;
  }

  std::string_view text;
  size_t pos = 0;
  std::string error;
};

}  // namespace

WqlParseResult ParseWql(std::string_view text) { return Parser(text).Parse(); }

std::string QuoteWqlLiteral(std::string_view value) {
  std::string out;
  out.reserve(value.size() + 2);
  out += '\'';
  for (char c : value) {
    if (c == '\'' || c == '\\') out += '\\';
    out += c;
  }
  out += '\'';
  return out;
}
