// Block and allow lists. A listed name matches itself and every name below
// it; a `*.name` line only the names below it. Names are wire-form label
// sequences (see dnsmessage.h), so a label holding a dot never matches the
// dotted name it spells. Names are kept as sorted 64-bit hashes with an index by their top bits:
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

std::uint64_t NameHash(std::string_view labels);
// Whether wire `labels` equal `domain` or lie below it.
bool IsAtOrBelow(std::string_view labels, std::string_view domain);

class CNameSet {
 public:
  static constexpr std::size_t kNone = std::string_view::npos;
  void Add(std::string_view labels) { hashes_.push_back(NameHash(labels)); }
  // Sorts; call once after the last Add, before lookups.
  void Seal();
  // The offset in `labels` of the longest suffix that is in the set (the
  // name itself first, then its parents; from `from` on), or kNone.
  std::size_t Covers(std::string_view labels, std::size_t from = 0) const;
  std::size_t size() const { return hashes_.size(); }

 private:
  bool contains(std::uint64_t hash) const;

  std::vector<std::uint64_t> hashes_;
  std::vector<std::uint32_t> index_;  // slot b: first hash whose top bits are >= b
  unsigned shift_ = 64;
};

// Reads a list file: hosts format ("0.0.0.0 name [name...]"), one name a
// line, "*.name" (only the names below), or "||name^"; '#' and '!' start
// comments. A line that is none of these is logged and skipped. False with
// `error` when the file cannot be read.
bool LoadNameList(const std::string& path, CNameSet& into, CNameSet& below, std::string& error);

enum class Verdict { Pass, Allowed, Blocked };

struct Match {
  Verdict verdict = Verdict::Pass;
  std::size_t apex = 0;  // Blocked: offset of the listed name in the asked labels
};

struct DomainPolicy {
  CNameSet blocked;
  CNameSet blockedBelow;  // "*.name": the names below name, not name itself
  CNameSet allowed;
  Match Check(std::string_view labels) const;
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
