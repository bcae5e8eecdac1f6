#include "common/posix/regfile.h"

#include <cctype>
#include <cstdlib>
#include <sstream>

namespace hxt::platform {

namespace {

std::string lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string trim(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

bool isHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

// Reads a quoted string starting at s[pos] == '"'; on success pos is past the
// closing quote.
bool readQuoted(const std::string& s, std::size_t& pos, std::string& out, std::string& error) {
  out.clear();
  if (pos >= s.size() || s[pos] != '"') {
    error = "expected '\"'";
    return false;
  }
  for (++pos; pos < s.size(); ++pos) {
    char c = s[pos];
    if (c == '\\') {
      if (pos + 1 >= s.size()) break;
      char n = s[++pos];
      if (n != '\\' && n != '"') {
        error = std::string("unknown escape \\") + n;
        return false;
      }
      out += n;
    } else if (c == '"') {
      ++pos;
      return true;
    } else {
      out += c;
    }
  }
  error = "unterminated string";
  return false;
}

bool parseHexBytes(const std::string& list, std::vector<unsigned char>& bytes, std::string& error) {
  bytes.clear();
  std::string body = trim(list);
  if (body.empty()) return true;
  std::stringstream in(body);
  std::string item;
  while (std::getline(in, item, ',')) {
    item = trim(item);
    if (item.size() != 2 || !isHex(item[0]) || !isHex(item[1])) {
      error = "bad hex byte '" + item + "'";
      return false;
    }
    bytes.push_back(static_cast<unsigned char>(std::strtoul(item.c_str(), nullptr, 16)));
  }
  if (body.back() == ',') {
    error = "trailing ',' in hex list";
    return false;
  }
  return true;
}

bool parseData(const std::string& data, RegValue& value, std::string& error) {
  if (!data.empty() && data[0] == '"') {
    std::size_t pos = 0;
    if (!readQuoted(data, pos, value.text, error)) return false;
    if (!trim(data.substr(pos)).empty()) {
      error = "text after the closing quote";
      return false;
    }
    value.type = kRegSz;
    return true;
  }
  std::string lowered = lower(data);
  if (lowered.compare(0, 6, "dword:") == 0) {
    std::string digits = trim(data.substr(6));
    if (digits.empty() || digits.size() > 8) {
      error = "dword needs 1 to 8 hex digits";
      return false;
    }
    for (char c : digits) {
      if (!isHex(c)) {
        error = "bad dword '" + digits + "'";
        return false;
      }
    }
    u32 v = static_cast<u32>(std::strtoul(digits.c_str(), nullptr, 16));
    value.type = kRegDword;
    value.bytes = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                   static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
    return true;
  }
  if (lowered.compare(0, 4, "hex:") == 0) {
    value.type = kRegBinary;
    return parseHexBytes(data.substr(4), value.bytes, error);
  }
  if (lowered.compare(0, 4, "hex(") == 0) {
    std::size_t close = lowered.find("):");
    std::string type = close == std::string::npos ? std::string() : lowered.substr(4, close - 4);
    if (type.empty() || type.size() > 8) {
      error = "bad hex(type) value";
      return false;
    }
    for (char c : type) {
      if (!isHex(c)) {
        error = "bad hex(type) value";
        return false;
      }
    }
    value.type = static_cast<u32>(std::strtoul(type.c_str(), nullptr, 16));
    return parseHexBytes(data.substr(close + 2), value.bytes, error);
  }
  error = "unrecognised value data";
  return false;
}

}  // namespace

std::string CanonicalKeyPath(const std::string& path) {
  std::string out;
  for (char c : path) {
    char ch = c == '/' ? '\\' : c;
    if (ch == '\\' && (out.empty() || out.back() == '\\')) continue;
    out += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  }
  while (!out.empty() && out.back() == '\\') out.pop_back();
  const std::string shortRoot = "hklm";
  if (out.compare(0, shortRoot.size(), shortRoot) == 0 &&
      (out.size() == shortRoot.size() || out[shortRoot.size()] == '\\')) {
    out = "hkey_local_machine" + out.substr(shortRoot.size());
  }
  return out;
}

RegFileContents ParseRegFile(const std::string& input) {
  RegFileContents result;
  std::string text = input;
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);

  std::vector<std::string> lines;
  {
    std::stringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line);
    }
  }

  auto report = [&](unsigned line, const std::string& message) {
    result.diagnostics.push_back({line, message});
  };

  bool headerSeen = false;
  std::string currentKey;
  bool inKey = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    unsigned lineNo = static_cast<unsigned>(i + 1);
    std::string line = trim(lines[i]);
    if (line.empty() || line[0] == ';') continue;
    if (!headerSeen) {
      if (line == "REGEDIT4" || line == "Windows Registry Editor Version 5.00") {
        headerSeen = true;
        continue;
      }
      report(lineNo, "missing REGEDIT4 header; nothing read from this file");
      return result;
    }
    if (line[0] == '[') {
      if (line.back() != ']') {
        report(lineNo, "unterminated key name");
        inKey = false;
        continue;
      }
      std::string name = line.substr(1, line.size() - 2);
      if (!name.empty() && name[0] == '-') {
        report(lineNo, "key deletion is not supported; key ignored");
        inKey = false;
        continue;
      }
      currentKey = CanonicalKeyPath(name);
      if (currentKey.compare(0, 18, "hkey_local_machine") != 0) {
        report(lineNo, "only HKEY_LOCAL_MACHINE keys are read; key ignored");
        inKey = false;
        continue;
      }
      inKey = true;
      result.keys[currentKey];
      continue;
    }

    // A value, possibly continued over several lines by a trailing backslash.
    std::string logical = line;
    while (!logical.empty() && logical.back() == '\\' && i + 1 < lines.size()) {
      logical.pop_back();
      logical += trim(lines[++i]);
    }
    if (!inKey) {
      report(lineNo, "value outside a key");
      continue;
    }
    std::string valueName;
    std::size_t pos = 0;
    std::string error;
    if (logical[0] == '@') {
      pos = 1;
    } else if (!readQuoted(logical, pos, valueName, error)) {
      report(lineNo, "bad value name: " + error);
      continue;
    }
    while (pos < logical.size() && std::isspace(static_cast<unsigned char>(logical[pos]))) ++pos;
    if (pos >= logical.size() || logical[pos] != '=') {
      report(lineNo, "expected '=' after the value name");
      continue;
    }
    std::string data = trim(logical.substr(pos + 1));
    if (data == "-") {
      report(lineNo, "value deletion is not supported; value ignored");
      continue;
    }
    RegValue value;
    if (!parseData(data, value, error)) {
      report(lineNo, "value \"" + valueName + "\": " + error);
      continue;
    }
    result.keys[currentKey][lower(valueName)] = std::move(value);
  }
  if (!headerSeen && !lines.empty()) report(1, "missing REGEDIT4 header; nothing read from this file");
  return result;
}

}  // namespace hxt::platform
