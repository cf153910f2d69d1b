// Reader of .devtree files. The whole text is parsed before anything is
// returned, so a file with an error never leaves a half-built tree behind.
#include <algorithm>
#include <optional>
#include <unordered_map>

#include "sim/sim_tree.h"

#include "base/ascii.h"
#include "base/utf8.h"

namespace kq::sim {

namespace {

using memcm::kPropCount;
using memcm::Prop;
using memcm::PropAnswer;
using memcm::ReadOutcome;
using memcm::SetupClass;
using memcm::ValueType;
using memcm::kChildren;
using memcm::kDesc;
using memcm::kFriendly;
using memcm::kParent;
using memcm::kProblem;
using memcm::kSiblings;

// Words that stand instead of a value and say how reading the property fails.
enum class Word : uint8_t { None, Absent, WrongType, Fail };

// Attributes beyond the six properties, numbered after them.
enum Attr : uint8_t { kPresentAttr = kPropCount, kClassAttr, kUnterminatedAttr, kAttrCount };

constexpr std::string_view kAttrNames[kAttrCount] = {
    "desc", "friendly", "parent", "children", "siblings", "problem", "present", "class", "unterminated"};

struct Setting {
  bool given = false;
  Word word = Word::None;
  std::wstring text;               // desc, friendly, parent
  std::vector<std::wstring> list;  // children, siblings
  uint32_t number = 0;             // problem
  bool explicitValue() const { return given && word == Word::None; }
};

struct NodeLine {
  size_t level = 0;
  std::wstring id;
  Setting settings[kPropCount];
  bool unterminated[kPropCount] = {};
  bool present = true;
  std::optional<SetupClass> setupClass;
};

bool parseDecimal(std::string_view digits, uint64_t limit, uint64_t* value) {
  if (digits.empty()) return false;
  uint64_t n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    const uint64_t d = static_cast<uint64_t>(c - '0');
    if (n > (limit - d) / 10) return false;
    n = n * 10 + d;
  }
  *value = n;
  return true;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (size_t start = 0;;) {
    const size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

std::string applyPropValue(Prop prop, std::string_view name, std::string_view value, bool quoted,
                           Setting& s) {
  s.given = true;
  if (!quoted && !value.empty() && value[0] == '!') {
    if (value == "!absent")
      s.word = Word::Absent;
    else if (value == "!type")
      s.word = Word::WrongType;
    else if (value == "!fail")
      s.word = Word::Fail;
    else
      return "unknown failure word '" + std::string(value) + "' in " + std::string(name) +
             "= (use !absent, !type or !fail)";
    return {};
  }
  // The configuration manager separates the IDs of its lists with NUL, so an
  // ID holding one would come back as two, or end its list early.
  if ((prop == kParent || prop == kChildren || prop == kSiblings) && value.find('\0') != std::string_view::npos)
    return "NUL in an instance ID in " + std::string(name) + "=";
  if (prop == kProblem) {
    uint64_t n = 0;
    if (!parseDecimal(value, UINT32_MAX, &n))
      return "problem= takes a decimal number up to 4294967295, not '" + std::string(value) + "'";
    s.number = static_cast<uint32_t>(n);
  } else if (prop == kChildren || prop == kSiblings) {
    if (value.empty()) return {};  // a present list with no entry
    for (std::string_view entry : split(value, '|')) {
      if (entry.empty()) return "empty instance ID in the list of " + std::string(name) + "=";
      s.list.push_back(wideFromUtf8(entry));
    }
  } else {
    s.text = wideFromUtf8(value);
  }
  return {};
}

std::string applyAttribute(int attr, std::string_view name, std::string_view value, bool quoted,
                           NodeLine& node) {
  if (attr < kPropCount)
    return applyPropValue(static_cast<Prop>(attr), name, value, quoted, node.settings[attr]);
  if (attr == kPresentAttr) {
    if (value != "yes" && value != "no")
      return "present= takes yes or no, not '" + std::string(value) + "'";
    node.present = value == "yes";
  } else if (attr == kClassAttr) {
    if (value == "usb")
      node.setupClass = SetupClass::Usb;
    else if (value == "ports")
      node.setupClass = SetupClass::Ports;
    else if (value == "other")
      node.setupClass = SetupClass::Other;
    else
      return "class= takes usb, ports or other, not '" + std::string(value) + "'";
  } else if (!value.empty()) {  // unterminated=
    for (std::string_view property : split(value, ',')) {
      int p = 0;
      while (p < kProblem && kAttrNames[p] != property) ++p;
      if (p == kProblem)
        return "unknown name '" + std::string(property) +
               "' in unterminated= (use desc, friendly, parent, children, siblings)";
      node.unterminated[p] = true;
    }
  }
  return {};
}

// Reads the blank-separated name=value attributes that follow the instance ID.
std::string parseAttributes(std::string_view rest, NodeLine& node) {
  bool seen[kAttrCount] = {};
  size_t i = 0;
  for (;;) {
    while (i < rest.size() && rest[i] == ' ') ++i;
    if (i == rest.size()) return {};
    const size_t nameStart = i;
    while (i < rest.size() && rest[i] != '=' && rest[i] != ' ' && rest[i] != '\t') ++i;
    if (i < rest.size() && rest[i] == '\t') return "tab in line (separate with spaces)";
    const std::string_view name = rest.substr(nameStart, i - nameStart);
    if (i == rest.size() || rest[i] != '=')
      return "malformed attribute '" + std::string(name) + "' (expected name=value)";
    int attr = 0;
    while (attr < kAttrCount && kAttrNames[attr] != name) ++attr;
    if (attr == kAttrCount) return "unknown attribute '" + std::string(name) + "'";
    if (seen[attr]) return "attribute " + std::string(name) + "= given twice";
    seen[attr] = true;
    ++i;  // past '='
    std::string_view value;
    const bool quoted = i < rest.size() && rest[i] == '"';
    if (quoted) {
      const size_t close = rest.find('"', i + 1);
      if (close == std::string_view::npos) return "missing closing quote in " + std::string(name) + "=";
      value = rest.substr(i + 1, close - i - 1);
      i = close + 1;
      if (i < rest.size() && rest[i] != ' ')
        return "text right after the closing quote of " + std::string(name) + "=";
    } else {
      const size_t start = i;
      for (; i < rest.size() && rest[i] != ' '; ++i) {
        if (rest[i] == '"') return "quote inside the unquoted value of " + std::string(name) + "=";
        if (rest[i] == '\t') return "tab in line (separate with spaces)";
      }
      value = rest.substr(start, i - start);
    }
    const std::string reason = applyAttribute(attr, name, value, quoted, node);
    if (!reason.empty()) return reason;
  }
}

// Accepts "=== after N calls" with N a decimal number; blanks may trail.
bool parseSeparator(std::string_view line, uint64_t* n) {
  std::vector<std::string_view> words;
  for (std::string_view part : split(line, ' '))
    if (!part.empty()) words.push_back(part);
  return words.size() == 4 && words[0] == "===" &&
         words[1] == "after" && words[3] == "calls" && parseDecimal(words[2], UINT64_MAX, n);
}

// What a line's own value gives, where it gives one.
std::optional<PropAnswer> explicitAnswer(Prop prop, const Setting& s) {
  if (!s.explicitValue()) return std::nullopt;
  switch (prop) {
    case kChildren:
    case kSiblings:
      return memcm::listAnswer(s.list);
    case kProblem:
      return memcm::numberAnswer(s.number);
    default:
      return memcm::textAnswer(s.text);
  }
}

// The answer of `prop` once the line's own value, failure word and
// unterminated= are applied to `natural`, the answer the tree's shape gives.
PropAnswer answer(Prop prop, const NodeLine& line, PropAnswer natural) {
  const Setting& s = line.settings[prop];
  PropAnswer a = explicitAnswer(prop, s).value_or(std::move(natural));
  switch (s.word) {
    case Word::Absent:
      return PropAnswer();
    case Word::WrongType:
      // A zero of the other type: a 32-bit 0 for the strings, the text "0"
      // for the lists and the problem code.
      return memcm::typeOf(prop) == ValueType::String ? memcm::numberAnswer(0)
                                                      : memcm::textAnswer(L"0");
    case Word::Fail:
      // A read that fails still needs a size to answer the size query with.
      if (a.outcome == ReadOutcome::Absent) {
        a = memcm::textAnswer(L"");
        a.type = memcm::typeOf(prop);
      }
      break;
    case Word::None:
      break;
  }
  if (line.unterminated[prop] && a.outcome != ReadOutcome::Absent && a.bytes.size() >= sizeof(wchar_t))
    a.bytes.resize(a.bytes.size() - sizeof(wchar_t));
  if (s.word == Word::Fail) a.outcome = ReadOutcome::Fail;
  return a;
}

void buildSnapshot(const std::vector<NodeLine>& lines, memcm::Snapshot& snapshot) {
  const size_t n = lines.size();
  std::vector<std::optional<size_t>> parents(n);
  std::vector<size_t> open;  // the current line's ancestors, one per level
  for (size_t i = 0; i < n; ++i) {
    open.resize(lines[i].level);
    if (!open.empty()) parents[i] = open.back();
    open.push_back(i);
  }
  std::vector<memcm::Node> nodes(n);
  for (size_t i = 0; i < n; ++i) {
    nodes[i].id = lines[i].id;
    nodes[i].present = lines[i].present;
    nodes[i].setupClass = lines[i].setupClass.value_or(
        toAsciiUpper(lines[i].id.substr(0, 4)) == L"USB\\" ? SetupClass::Usb : SetupClass::Other);
    nodes[i].props[kProblem] = memcm::numberAnswer(0);
  }
  memcm::linkNodes(nodes, parents);
  for (size_t i = 0; i < n; ++i)
    for (int p = 0; p < kPropCount; ++p) {
      const Prop prop = static_cast<Prop>(p);
      nodes[i].props[p] = answer(prop, lines[i], std::move(nodes[i].props[p]));
    }
  snapshot.nodes = std::move(nodes);
}

}  // namespace

bool parseDevtree(std::string_view text, const std::string& name, memcm::Tree* out, std::string* error) {
  memcm::Tree tree(1);
  std::vector<NodeLine> lines;                    // of the snapshot being read
  std::unordered_map<std::wstring, size_t> seen;  // folded ID -> its line number
  size_t lineNo = 0;
  auto fail = [&](const std::string& reason) {
    *error = name + ":" + std::to_string(lineNo) + ": " + reason;
    return false;
  };
  auto endSnapshot = [&] {
    buildSnapshot(lines, tree.back());
    lines.clear();
    seen.clear();
  };
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);  // Notepad's byte order mark

  for (size_t pos = 0; pos < text.size();) {
    const size_t end = std::min(text.find('\n', pos), text.size());
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::wstring check;
    if (!decodeUtf8(line, &check)) return fail("not valid UTF-8");
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos || line[first] == '#') continue;

    if (line.substr(first, 3) == "===") {
      uint64_t n = 0;
      if (first != 0) return fail("a snapshot separator must not be indented");
      if (!parseSeparator(line, &n)) return fail("malformed snapshot separator (expected '=== after N calls')");
      if (n <= tree.back().afterCalls)
        return fail("N must be larger than the previous snapshot's (" + std::to_string(tree.back().afterCalls) + ")");
      endSnapshot();
      tree.emplace_back();
      tree.back().afterCalls = n;
      continue;
    }

    NodeLine node;
    if (line.find_first_not_of(' ') != first)
      return fail("tab in indentation (indent with two spaces per level)");
    if (first % 2 != 0) return fail("indentation of " + std::to_string(first) + " spaces is not a multiple of two");
    node.level = first / 2;
    if (lines.empty() && node.level != 0) return fail("the first node of a snapshot must not be indented");
    if (!lines.empty() && node.level > lines.back().level + 1)
      return fail("indented more than one level deeper than the line above");
    const size_t idEnd = std::min(line.find(' ', first), line.size());
    const std::string_view id = line.substr(first, idEnd - first);
    if (id.find('\t') != std::string_view::npos) return fail("tab in line (separate with spaces)");
    if (id.find('\0') != std::string_view::npos) return fail("NUL in instance ID");
    node.id = wideFromUtf8(id);
    const auto [where, added] = seen.emplace(toAsciiUpper(node.id), lineNo);
    if (!added)
      return fail("instance ID " + std::string(id) + " appears twice in this snapshot (first on line " +
                  std::to_string(where->second) + ")");
    const std::string reason = parseAttributes(line.substr(idEnd), node);
    if (!reason.empty()) return fail(reason);
    lines.push_back(std::move(node));
  }
  endSnapshot();
  *out = std::move(tree);
  return true;
}

}  // namespace kq::sim
