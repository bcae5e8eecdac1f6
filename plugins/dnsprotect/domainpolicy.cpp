#include "domainpolicy.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "dnsmessage.h"
#include "pluginlog.h"

namespace hxt::dnsprotect {
namespace {

// Host-file entries that name the machine itself, not something to block.
// `name` as written in the file, in any case, with or without a final dot.
bool IsLocalAlias(std::string_view name) {
  static const std::string_view kAliases[] = {"localhost",     "localhost.localdomain", "local",
                                              "broadcasthost", "ip6-localhost",         "ip6-loopback",
                                              "0.0.0.0"};
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  for (std::string_view alias : kAliases) {
    if (name.size() == alias.size() &&
        std::equal(name.begin(), name.end(), alias.begin(),
                   [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; })) {
      return true;
    }
  }
  return false;
}

bool LooksLikeAddress(std::string_view token) {
  if (token.find(':') != std::string_view::npos) return true;
  return std::all_of(token.begin(), token.end(),
                     [](char c) { return c == '.' || std::isdigit(static_cast<unsigned char>(c)); });
}

// Lines past this many bad ones in a file are counted, not logged one by one.
constexpr std::size_t kBadLinesLogged = 5;

struct ListReader {
  const std::string& path;
  CNameSet& into;
  CNameSet& below;
  std::size_t line = 0;
  std::size_t bad = 0;
  std::string labels{};  // reused from name to name

  void refuse(std::string_view token, const char* reason) {
    if (++bad <= kBadLinesLogged) {
      PluginLog(LogLevel::Warning,
                path + ":" + std::to_string(line) + ": skipped \"" + std::string(token) + "\": " + reason);
    }
  }

  void addName(std::string_view token) {
    bool wildcard = false;
    if (token.size() > 2 && token.compare(0, 2, "||") == 0 && token.back() == '^') {
      token = token.substr(2, token.size() - 3);
    } else if (token.size() > 2 && token.compare(0, 2, "*.") == 0) {
      wildcard = true;
      token.remove_prefix(2);
    }
    if (IsLocalAlias(token)) return;
    if (token.find_first_of("*^|$/@") != std::string_view::npos) return refuse(token, "not a domain name");
    if (!TextToLabels(token, labels) || labels.empty()) return refuse(token, "not a domain name");
    (wildcard ? below : into).Add(labels);
  }

  void addLine(std::string_view text) {
    ++line;
    if (auto hash = text.find('#'); hash != std::string_view::npos) text = text.substr(0, hash);
    std::vector<std::string_view> tokens;
    std::size_t at = 0;
    while (at < text.size()) {
      while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
      std::size_t end = at;
      while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end]))) ++end;
      if (end > at) tokens.push_back(text.substr(at, end - at));
      at = end;
    }
    // Comments and the header of filter lists.
    if (tokens.empty() || tokens[0][0] == '!' || tokens[0][0] == '[') return;
    std::size_t first = tokens.size() > 1 && LooksLikeAddress(tokens[0]) ? 1 : 0;
    for (std::size_t i = first; i < tokens.size(); ++i) addName(tokens[i]);
  }
};

}  // namespace

std::uint64_t NameHash(std::string_view labels) {
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (char c : labels) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  return hash;
}

bool IsAtOrBelow(std::string_view labels, std::string_view domain) {
  for (std::size_t at = 0; at <= labels.size(); at += 1 + static_cast<unsigned char>(labels[at])) {
    if (labels.size() - at == domain.size()) return labels.compare(at, domain.size(), domain) == 0;
    if (at == labels.size()) break;
  }
  return false;
}

void CNameSet::Seal() {
  std::sort(hashes_.begin(), hashes_.end());
  hashes_.erase(std::unique(hashes_.begin(), hashes_.end()), hashes_.end());
  hashes_.shrink_to_fit();
  unsigned bits = 1;
  while (bits < 31 && (std::size_t{1} << bits) < hashes_.size()) ++bits;
  shift_ = 64 - bits;
  index_.assign((std::size_t{1} << bits) + 1, 0);
  std::size_t at = 0;
  for (std::size_t slot = 0; slot < index_.size(); ++slot) {
    while (at < hashes_.size() && (hashes_[at] >> shift_) < slot) ++at;
    index_[slot] = static_cast<std::uint32_t>(at);
  }
}

bool CNameSet::contains(std::uint64_t hash) const {
  const std::size_t slot = hash >> shift_;
  auto first = hashes_.begin() + index_[slot];
  auto last = hashes_.begin() + index_[slot + 1];
  for (; first != last; ++first) {
    if (*first >= hash) return *first == hash;
  }
  return false;
}

std::size_t CNameSet::Covers(std::string_view labels, std::size_t from) const {
  if (hashes_.empty()) return kNone;
  for (std::size_t at = from; at < labels.size(); at += 1 + static_cast<unsigned char>(labels[at])) {
    if (contains(NameHash(labels.substr(at)))) return at;
  }
  return kNone;
}

bool LoadNameList(const std::string& path, CNameSet& into, CNameSet& below, std::string& error) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  ListReader reader{path, into, below};
  std::string pending;
  char buffer[1 << 16];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    pending.append(buffer, got);
    std::size_t start = 0;
    for (std::size_t nl; (nl = pending.find('\n', start)) != std::string::npos; start = nl + 1) {
      reader.addLine(std::string_view(pending).substr(start, nl - start));
    }
    pending.erase(0, start);
  }
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) {
    error = path + ": read error";
    return false;
  }
  if (!pending.empty()) reader.addLine(pending);
  if (reader.bad > kBadLinesLogged) {
    PluginLog(LogLevel::Warning, path + ": " + std::to_string(reader.bad) + " lines skipped in all");
  }
  return true;
}

Match DomainPolicy::Check(std::string_view labels) const {
  if (allowed.Covers(labels) != CNameSet::kNone) return {Verdict::Allowed, 0};
  const std::size_t apex = blocked.Covers(labels);
  // "*.name" blocks below name: the suffixes from the asked name's parent on.
  const std::size_t below = labels.empty()
                                ? CNameSet::kNone
                                : blockedBelow.Covers(labels, 1 + static_cast<unsigned char>(labels[0]));
  if (apex == CNameSet::kNone && below == CNameSet::kNone) return {Verdict::Pass, 0};
  // The closest listed name is the apex of the synthesized zone.
  return {Verdict::Blocked, apex == CNameSet::kNone    ? below
                            : below == CNameSet::kNone ? apex
                                                       : std::min(apex, below)};
}

CPolicyHolder::CPolicyHolder(std::vector<std::string> listFiles, std::vector<std::string> allowNames)
    : files_(std::move(listFiles)), allowNames_(std::move(allowNames)) {}

std::string CPolicyHolder::signature() const {
  std::string out;
  for (const auto& file : files_) {
    // Size and modification time, in the file system's finest resolution.
    std::error_code sizeError, timeError;
    const auto size = std::filesystem::file_size(file, sizeError);
    const auto modified = std::filesystem::last_write_time(file, timeError);
    if (sizeError || timeError) {
      out += "-;";
      continue;
    }
    out += std::to_string(size) + ":" + std::to_string(modified.time_since_epoch().count()) + ";";
  }
  return out;
}

bool CPolicyHolder::Load(std::string& error) {
  const std::string before = signature();
  auto policy = std::make_shared<DomainPolicy>();
  for (const auto& file : files_) {
    if (!LoadNameList(file, policy->blocked, policy->blockedBelow, error)) return false;
  }
  std::string labels;
  for (const auto& name : allowNames_) {
    if (TextToLabels(name, labels) && !labels.empty()) {
      policy->allowed.Add(labels);
    } else {
      PluginLog(LogLevel::Warning, "allow list: skipped \"" + name + "\": not a domain name");
    }
  }
  policy->blocked.Seal();
  policy->blockedBelow.Seal();
  policy->allowed.Seal();
  std::lock_guard<std::mutex> lock(mutex_);
  policy_ = std::move(policy);
  loadedSignature_ = before;
  return true;
}

bool CPolicyHolder::ReloadIfChanged() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (signature() == loadedSignature_) return false;
  }
  std::string error;
  if (!Load(error)) {
    PluginLog(LogLevel::Warning, "block list reload failed, keeping the previous lists: " + error);
    std::lock_guard<std::mutex> lock(mutex_);
    loadedSignature_ = signature();  // retried when the file changes again
    return false;
  }
  PluginLog(LogLevel::Info, "block lists reloaded: " + std::to_string(Current()->blocked.size()) + " names");
  return true;
}

std::shared_ptr<const DomainPolicy> CPolicyHolder::Current() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return policy_;
}

}  // namespace hxt::dnsprotect
