#include "domainpolicy.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "pluginlog.h"

namespace hxt::dnsprotect {
namespace {

// Host-file entries that name the machine itself, not something to block.
bool IsLocalAlias(std::string_view name) {
  static const char* const kAliases[] = {"localhost",     "localhost.localdomain", "local",  "broadcasthost",
                                         "ip6-localhost", "ip6-loopback",          "0.0.0.0"};
  for (const char* alias : kAliases) {
    if (name == alias) return true;
  }
  return false;
}

bool LooksLikeAddress(std::string_view token) {
  if (token.find(':') != std::string_view::npos) return true;
  return std::all_of(token.begin(), token.end(),
                     [](char c) { return c == '.' || std::isdigit(static_cast<unsigned char>(c)); });
}

void AddLine(std::string_view line, CNameSet& into) {
  if (auto hash = line.find('#'); hash != std::string_view::npos) line = line.substr(0, hash);
  std::vector<std::string_view> tokens;
  std::size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && std::isspace(static_cast<unsigned char>(line[at]))) ++at;
    std::size_t end = at;
    while (end < line.size() && !std::isspace(static_cast<unsigned char>(line[end]))) ++end;
    if (end > at) tokens.push_back(line.substr(at, end - at));
    at = end;
  }
  std::size_t first = tokens.size() > 1 && LooksLikeAddress(tokens[0]) ? 1 : 0;
  for (std::size_t i = first; i < tokens.size(); ++i) {
    std::string name = NormalizeName(tokens[i]);
    if (!name.empty() && !IsLocalAlias(name)) into.Add(name);
  }
}

}  // namespace

std::uint64_t NameHash(std::string_view name) {
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (char c : name) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  return hash;
}

std::string NormalizeName(std::string_view name) {
  std::string out(name);
  while (!out.empty() && out.back() == '.') out.pop_back();
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
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

bool CNameSet::Covers(std::string_view name) const {
  if (hashes_.empty()) return false;
  while (!name.empty()) {
    if (contains(NameHash(name))) return true;
    std::size_t dot = name.find('.');
    if (dot == std::string_view::npos) break;
    name.remove_prefix(dot + 1);
  }
  return false;
}

bool LoadNameList(const std::string& path, CNameSet& into, std::string& error) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  std::string pending;
  char buffer[1 << 16];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    pending.append(buffer, got);
    std::size_t start = 0;
    for (std::size_t nl; (nl = pending.find('\n', start)) != std::string::npos; start = nl + 1) {
      AddLine(std::string_view(pending).substr(start, nl - start), into);
    }
    pending.erase(0, start);
  }
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) {
    error = path + ": read error";
    return false;
  }
  AddLine(pending, into);
  return true;
}

Verdict DomainPolicy::Check(std::string_view name) const {
  if (allowed.Covers(name)) return Verdict::Allowed;
  return blocked.Covers(name) ? Verdict::Blocked : Verdict::Pass;
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
    if (!LoadNameList(file, policy->blocked, error)) return false;
  }
  for (const auto& name : allowNames_) policy->allowed.Add(NormalizeName(name));
  policy->blocked.Seal();
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
