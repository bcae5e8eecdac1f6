// A small open-addressing hash map for the tables the daemon consults on
// every query (queries in flight by serial, queries in flight per client):
// once it has grown to the working set it never allocates, and a lookup
// touches one or two neighbouring entries instead of a chain of tree nodes.
//
// Linear probing over a power-of-two table kept at most half full; erasing
// moves the entries that follow back into the gap, so there are no
// tombstones and lookups stay short however keys come and go. Pointers to
// values stay valid until the next insertion.
#pragma once

#include <cstddef>
#include <vector>

namespace hxt::sockfilter {

template <typename Key, typename Value, typename Hash>
class CFlatMap {
 public:
  explicit CFlatMap(std::size_t capacity = 16) { rehash(capacity); }

  std::size_t Size() const { return size_; }

  Value* Find(const Key& key) {
    for (std::size_t i = home(key);; i = (i + 1) & mask_) {
      Entry& e = entries_[i];
      if (!e.used) return nullptr;
      if (e.key == key) return &e.value;
    }
  }

  // The key's value, inserted value-initialised when absent.
  Value& operator[](const Key& key) {
    if (Value* found = Find(key)) return *found;
    if (2 * (size_ + 1) > entries_.size()) rehash(2 * entries_.size());
    std::size_t i = home(key);
    while (entries_[i].used) i = (i + 1) & mask_;
    entries_[i] = Entry{key, Value{}, true};
    ++size_;
    return entries_[i].value;
  }

  void Erase(const Key& key) {
    std::size_t gap = home(key);
    for (;; gap = (gap + 1) & mask_) {
      if (!entries_[gap].used) return;
      if (entries_[gap].key == key) break;
    }
    // Backward shift: an entry after the gap moves into it unless its home
    // lies cyclically within (gap, entry], where the move would hide it.
    for (std::size_t i = (gap + 1) & mask_; entries_[i].used; i = (i + 1) & mask_) {
      std::size_t h = home(entries_[i].key);
      bool stays = gap < i ? (gap < h && h <= i) : (gap < h || h <= i);
      if (stays) continue;
      entries_[gap] = entries_[i];
      gap = i;
    }
    entries_[gap].used = false;
    --size_;
  }

  void Clear() {
    for (Entry& e : entries_) e.used = false;
    size_ = 0;
  }

 private:
  struct Entry {
    Key key{};
    Value value{};
    bool used = false;
  };

  std::size_t home(const Key& key) const { return Hash{}(key)&mask_; }

  void rehash(std::size_t capacity) {
    std::size_t n = 16;
    while (n < capacity) n *= 2;
    std::vector<Entry> old(n);
    old.swap(entries_);
    mask_ = n - 1;
    size_ = 0;
    for (const Entry& e : old) {
      if (e.used) (*this)[e.key] = e.value;
    }
  }

  std::vector<Entry> entries_;
  std::size_t mask_ = 0;
  std::size_t size_ = 0;
};

}  // namespace hxt::sockfilter
