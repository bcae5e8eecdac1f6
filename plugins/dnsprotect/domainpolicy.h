// Block and allow lists. A listed name matches itself and every name below
// it. Names are kept as sorted 64-bit hashes with an index by their top bits:
// a million names cost 12 MiB, and looking up one suffix of the asked name
// touches two cache lines or so (hashes spread evenly, so each index slot
// covers about one hash). Two
// different names share a hash with odds far below one in a million for a
// list of a million names.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace hxt::dnsprotect {

std::uint64_t NameHash(std::string_view name);
// Lower case, without a trailing dot.
std::string NormalizeName(std::string_view name);

class CNameSet {
 public:
  void Add(std::string_view normalizedName) { hashes_.push_back(NameHash(normalizedName)); }
  // Sorts; call once after the last Add, before lookups.
  void Seal();
  // Whether `name` (normalized) or one of its parent domains is in the set.
  bool Covers(std::string_view name) const;
  std::size_t size() const { return hashes_.size(); }

 private:
  bool contains(std::uint64_t hash) const;

  std::vector<std::uint64_t> hashes_;
  std::vector<std::uint32_t> index_;  // slot b: first hash whose top bits are >= b
  unsigned shift_ = 64;
};

// Reads a list file in hosts format ("0.0.0.0 name [name...]") or one name a
// line; '#' starts a comment. False with `error` when it cannot be read.
bool LoadNameList(const std::string& path, CNameSet& into, std::string& error);

enum class Verdict { Pass, Allowed, Blocked };

struct DomainPolicy {
  CNameSet blocked;
  CNameSet allowed;
  Verdict Check(std::string_view name) const;
};

// The current policy, replaced as a whole when a list file changes: a lookup
// sees either the old lists or the new ones, never a half-loaded list.
class CPolicyHolder {
 public:
  CPolicyHolder(std::vector<std::string> listFiles, std::vector<std::string> allowNames);
  // Loads every list; false with `error` naming the file that failed.
  bool Load(std::string& error);
  // Reloads when a file's size or modification time changed since the last
  // load. A failed reload keeps the previous policy. True when reloaded.
  bool ReloadIfChanged();
  std::shared_ptr<const DomainPolicy> Current() const;

 private:
  std::string signature() const;

  std::vector<std::string> files_;
  std::vector<std::string> allowNames_;
  mutable std::mutex mutex_;
  std::shared_ptr<const DomainPolicy> policy_;
  std::string loadedSignature_;
};

}  // namespace hxt::dnsprotect
