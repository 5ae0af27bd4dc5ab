#include "registry.h"

#include <cstring>
#include <functional>
#include <memory>

namespace host {

namespace {

// ASCII case folding, as the store compares names; other bytes compare as
// they are.
inline char Fold(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - ('a' - 'A')) : c; }

bool EqualFolded(const char* a, const char* b, size_t size) {
  for (size_t i = 0; i < size; ++i)
    if (a[i] != b[i] && Fold(a[i]) != Fold(b[i])) return false;
  return true;
}

// A hash of a name as the store compares it (FNV-1a of the folded bytes), so
// that a lookup compares one number per candidate before any characters.
uint32_t FoldedHash(const char* name, size_t size) {
  uint32_t h = 2166136261u;
  for (size_t i = 0; i < size; ++i) h = (h ^ static_cast<unsigned char>(Fold(name[i]))) * 16777619u;
  return h;
}

// Calls part(name, size) for each backslash-separated component of a path,
// skipping empty ones, until it returns false. Returns whether every call
// returned true.
template <typename Part>
bool ForEachPart(std::string_view path, Part part) {
  const char* p = path.data();
  const char* end = p + path.size();
  while (p < end) {
    while (p < end && *p == '\\') ++p;
    const char* begin = p;
    while (p < end && *p != '\\') ++p;
    if (p > begin && !part(begin, static_cast<size_t>(p - begin))) return false;
  }
  return true;
}

// Named entries (a key's subkeys or its values) kept in creation order, as
// enumeration and export list them, and found by name through a hash of the
// folded name, so that a lookup does not grow with the number of siblings.
// A removed entry leaves a hole that enumeration skips; holes are squeezed
// out once they outnumber the live entries. Entries past the used ones are
// husks kept with their buffers for the next additions. Traits say how an
// entry gives its name and hash, whether it is live, and how it is removed.
template <typename Item, typename Traits>
class NamedItems {
 public:
  Item* Find(const char* name, size_t size, uint32_t hash) {
    if (slots_.empty()) {
      // Few entries: comparing their hashes in turn is cheapest.
      for (size_t i = 0; i < used_; ++i)
        if (Matches(items_[i], name, size, hash)) return &items_[i];
      return nullptr;
    }
    const size_t mask = slots_.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
      uint32_t slot = slots_[i];
      if (slot == 0) return nullptr;
      Item& item = items_[slot - 1];
      if (Matches(item, name, size, hash)) return &item;
    }
  }

  // Appends an entry for a name not present yet: fill(item) makes the next
  // husk a live entry with its name and hash.
  template <typename Fill>
  Item& Add(Fill fill) {
    if (used_ == items_.size()) items_.emplace_back();
    Item& item = items_[used_++];
    fill(item);
    ++live_;
    if (!slots_.empty() && 2 * used_ <= slots_.size())
      Place(static_cast<uint32_t>(used_));
    else if (used_ > kLinear)
      Rebuild();
    return item;
  }

  void Remove(Item* item) {
    Traits::Kill(*item);
    --live_;
    if (used_ - live_ > live_) Squeeze();
  }

  // Empties the list; the caller has dealt with the live entries.
  void Clear() {
    for (size_t i = 0; i < used_; ++i) Traits::Kill(items_[i]);
    used_ = live_ = 0;
    slots_.clear();
  }

  size_t Size() const { return live_; }

  template <typename F>
  void ForEach(F f) const {
    for (size_t i = 0; i < used_; ++i)
      if (Traits::Live(items_[i])) f(items_[i]);
  }
  template <typename F>
  void ForEachMutable(F f) {
    for (size_t i = 0; i < used_; ++i)
      if (Traits::Live(items_[i])) f(items_[i]);
  }

  void Reserve(size_t n) { items_.reserve(n); }
  size_t Capacity() const { return items_.capacity(); }

 private:
  static constexpr size_t kLinear = 8;

  static bool Matches(const Item& item, const char* name, size_t size, uint32_t hash) {
    if (!Traits::Live(item) || Traits::Hash(item) != hash) return false;
    const std::string& n = Traits::Name(item);
    return n.size() == size && EqualFolded(n.data(), name, size);
  }

  // Enters items_[position - 1] in the table.
  void Place(uint32_t position) {
    const size_t mask = slots_.size() - 1;
    size_t i = Traits::Hash(items_[position - 1]) & mask;
    while (slots_[i] != 0) i = (i + 1) & mask;
    slots_[i] = position;
  }

  void Rebuild() {
    slots_.clear();
    if (used_ <= kLinear) return;
    size_t size = 16;
    while (size < 2 * used_) size *= 2;
    slots_.assign(size, 0);
    for (size_t i = 0; i < used_; ++i)
      if (Traits::Live(items_[i])) Place(static_cast<uint32_t>(i + 1));
  }

  void Squeeze() {
    size_t to = 0;
    for (size_t from = 0; from < used_; ++from)
      if (Traits::Live(items_[from])) {
        if (to != from) std::swap(items_[to], items_[from]);
        ++to;
      }
    used_ = to;
    Rebuild();
  }

  std::vector<Item> items_;
  std::vector<uint32_t> slots_;  // open addressing: position in items_ plus one, 0 empty
  size_t used_ = 0;              // items_[used_...] are husks
  size_t live_ = 0;
};

// A value's bytes: short data (a DWORD, a short string) is kept in place,
// longer data on the heap; the heap block is kept for later writes.
class Bytes {
 public:
  void Assign(const void* p, size_t n) {
    if (n > kInline && n > heapCapacity_) {
      heap_.reset(new uint8_t[n]);
      heapCapacity_ = n;
    }
    size_ = n;
    if (n) std::memcpy(Data(), p, n);
  }
  const uint8_t* Data() const { return size_ > kInline ? heap_.get() : inline_; }
  uint8_t* Data() { return size_ > kInline ? heap_.get() : inline_; }
  size_t Size() const { return size_; }
 private:
  static constexpr size_t kInline = 16;
  uint8_t inline_[kInline];
  size_t size_ = 0;
  size_t heapCapacity_ = 0;
  std::unique_ptr<uint8_t[]> heap_;
};

struct StoredValue {
  std::string name;  // as first written
  uint32_t hash = 0;
  uint32_t type = 0;
  bool live = false;
  Bytes data;

  RegValueView View() const { return RegValueView{name, type, data.Data(), data.Size()}; }
};

struct ValueTraits {
  static bool Live(const StoredValue& v) { return v.live; }
  static uint32_t Hash(const StoredValue& v) { return v.hash; }
  static const std::string& Name(const StoredValue& v) { return v.name; }
  static void Kill(StoredValue& v) { v.live = false; }
};

}  // namespace

RegValue RegValueView::Copy() const {
  RegValue v;
  v.name.assign(name.data(), name.size());
  v.type = type;
  v.data.assign(data, data + size);
  return v;
}

uint32_t RegValue::Dword() const {
  uint32_t v = 0;
  for (size_t i = 0; i < 4 && i < data.size(); ++i) v |= uint32_t(data[i]) << (8 * i);
  return v;
}

struct RegistryStore::Key {
  struct ChildTraits {
    static bool Live(const KeyRef& k) { return k != nullptr; }
    static uint32_t Hash(const KeyRef& k) { return k->hash; }
    static const std::string& Name(const KeyRef& k) { return k->name; }
    static void Kill(KeyRef& k) { k.reset(); }
  };

  std::string name;
  uint32_t hash = 0;  // FoldedHash(name)
  uint64_t generation = 0;
  bool deleted = false;
  NamedItems<KeyRef, ChildTraits> children;
  NamedItems<StoredValue, ValueTraits> values;

  KeyRef* ChildRef(const char* n, size_t size) { return children.Find(n, size, FoldedHash(n, size)); }
  Key* Child(const char* n, size_t size) {
    KeyRef* c = ChildRef(n, size);
    return c ? c->get() : nullptr;
  }
  StoredValue* Value(std::string_view n) { return values.Find(n.data(), n.size(), FoldedHash(n.data(), n.size())); }
  // The key and every key below it are gone; handles on them see that.
  void MarkDeleted() {
    deleted = true;
    children.ForEach([](const KeyRef& c) { c->MarkDeleted(); });
  }
};

bool RegistryStore::NamesEqual(std::string_view a, std::string_view b) {
  return a.size() == b.size() && EqualFolded(a.data(), b.data(), a.size());
}

RegistryStore::RegistryStore() : root_(std::make_shared<Key>()), paths_(1024) {}

RegistryStore& RegistryStore::Instance() {
  static RegistryStore store;
  return store;
}

bool RegistryStore::Gone(const Key* k) const { return !k || k->deleted || k->generation != generation_; }

void RegistryStore::Reset() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  ++operations_;
  // Keys still held by handles read as deleted from now on: their generation
  // is no longer the store's.
  ++generation_;
  for (auto& entry : paths_) entry.key.reset();
  Recycle(root_);
  root_ = NewKey();
  log_.clear();
  logBytes_.clear();
  fault_ = nullptr;
}

const RegistryStore::KeyRef* RegistryStore::FindRef(std::string_view path) const {
  // Callers name the same keys by the same paths again and again: a path
  // seen before finds its key by one hash of its bytes, as long as that key
  // is still in the store (not deleted, not emptied by a reset). Otherwise
  // the path is walked from the root, one component at a time.
  const size_t hash = std::hash<std::string_view>()(path);
  PathEntry& entry = paths_[hash & (paths_.size() - 1)];
  if (entry.key && entry.hash == hash && entry.path == path && !Gone(entry.key.get()))
    return &entry.key;
  const KeyRef* k = &root_;
  bool found = ForEachPart(path, [&k](const char* part, size_t size) {
    k = (*k)->ChildRef(part, size);
    return k != nullptr;
  });
  if (!found) return nullptr;
  entry.hash = hash;
  entry.path.assign(path.data(), path.size());
  entry.key = *k;
  return k;
}

RegistryStore::Key* RegistryStore::Find(std::string_view path) const {
  const KeyRef* k = FindRef(path);
  return k ? k->get() : nullptr;
}

RegistryStore::KeyRef RegistryStore::NewKey() {
  KeyRef k;
  if (spare_.empty()) {
    k = std::make_shared<Key>();
  } else {
    k = std::move(spare_.back());
    spare_.pop_back();
  }
  k->generation = generation_;
  k->deleted = false;
  return k;
}

void RegistryStore::Recycle(KeyRef& k) {
  // A key no handle holds is emptied and kept, with the buffers of its lists
  // and values, for the keys of the next life; one a handle holds stays with
  // the handle, reading as deleted.
  if (k.use_count() == 1) {
    k->children.ForEachMutable([this](KeyRef& c) { Recycle(c); });
    k->children.Clear();
    k->values.Clear();
    if (spare_.size() < kMaxSpareKeys) spare_.push_back(std::move(k));
  }
  k.reset();
}

bool RegistryStore::KeyExists(std::string_view path) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  ++operations_;
  return Find(path) != nullptr;
}

bool RegistryStore::CreateKey(std::string_view path) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  ++operations_;
  if (Find(path) != nullptr) return false;
  Key* k = root_.get();
  bool created = false;
  ForEachPart(path, [&](const char* part, size_t size) {
    const uint32_t hash = FoldedHash(part, size);
    KeyRef* c = k->children.Find(part, size, hash);
    if (!c) {
      c = &k->children.Add([&](KeyRef& child) {
        child = NewKey();
        child->name.assign(part, size);
        child->hash = hash;
      });
      created = true;
    }
    k = c->get();
    return true;
  });
  return created;
}

bool RegistryStore::DeleteKey(std::string_view path) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  ++operations_;
  Key* parent = nullptr;
  KeyRef* k = nullptr;
  Key* at = root_.get();
  ForEachPart(path, [&](const char* part, size_t size) {
    parent = at;
    k = at->ChildRef(part, size);
    at = k ? k->get() : nullptr;
    return k != nullptr;
  });
  if (parent == nullptr || k == nullptr) return false;
  (*k)->MarkDeleted();
  parent->children.Remove(k);
  return true;
}

std::vector<std::string> RegistryStore::SubKeys(std::string_view path) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  ++operations_;
  std::vector<std::string> out;
  if (Key* k = Find(path)) {
    out.reserve(k->children.Size());
    k->children.ForEach([&out](const KeyRef& c) { out.push_back(c->name); });
  }
  return out;
}

bool RegistryStore::SetValue(std::string_view path, std::string_view name, uint32_t type,
                             const void* data, size_t size) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  ++operations_;
  return SetValueLocked(Find(path), path, name, type, data, size);
}

bool RegistryStore::SetValueLocked(Key* k, std::string_view path, std::string_view name,
                                   uint32_t type, const void* data, size_t size) {
  if (Gone(k)) return false;
  if (fault_ && fault_(std::string(path), std::string(name))) return false;
  StoredValue* v = k->Value(name);
  if (!v) {
    // Keys hold a handful of values; growing 1, 2, 4 ... costs a copy each time.
    if (k->values.Capacity() == 0) k->values.Reserve(8);
    v = &k->values.Add([name](StoredValue& added) {
      added.name.assign(name.data(), name.size());
      added.hash = FoldedHash(name.data(), name.size());
      added.live = true;
    });
  }
  v->type = type;
  v->data.Assign(data, size);
  // The log keeps the path as written and the value's stored name and bytes.
  LogEntry entry{};
  entry.path = logBytes_.size();
  entry.pathSize = path.size();
  logBytes_.append(path.data(), path.size());
  entry.name = logBytes_.size();
  entry.nameSize = v->name.size();
  logBytes_.append(v->name);
  entry.data = logBytes_.size();
  entry.dataSize = size;
  if (size) logBytes_.append(static_cast<const char*>(data), size);
  entry.type = type;
  log_.push_back(entry);
  return true;
}

std::optional<RegValue> RegistryStore::GetValue(std::string_view path, std::string_view name) const {
  std::optional<RegValue> out;
  ReadValue(path, name, [&out](const RegValueView& v) { out = v.Copy(); });
  return out;
}

bool RegistryStore::ReadValue(std::string_view path, std::string_view name, ValueReader reader) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  ++operations_;
  Key* k = Find(path);
  if (!k) return false;
  StoredValue* v = k->Value(name);
  if (!v) return false;
  reader(v->View());
  return true;
}

RegistryStore::KeyRef RegistryStore::OpenKey(std::string_view path) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  ++operations_;
  const KeyRef* k = FindRef(path);
  return k ? *k : nullptr;
}

bool RegistryStore::KeyDeleted(const KeyRef& key) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  ++operations_;
  return Gone(key.get());
}

bool RegistryStore::SetValue(const KeyRef& key, std::string_view path, std::string_view name,
                             uint32_t type, const void* data, size_t size) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  ++operations_;
  return SetValueLocked(key.get(), path, name, type, data, size);
}

std::optional<RegValue> RegistryStore::GetValue(const KeyRef& key, std::string_view name) const {
  std::optional<RegValue> out;
  ReadValue(key, name, [&out](const RegValueView& v) { out = v.Copy(); });
  return out;
}

bool RegistryStore::ReadValue(const KeyRef& key, std::string_view name, ValueReader reader) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  ++operations_;
  if (Gone(key.get())) return false;
  StoredValue* v = key->Value(name);
  if (!v) return false;
  reader(v->View());
  return true;
}

uint64_t RegistryStore::OperationCount() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return operations_;
}

bool RegistryStore::DeleteValue(std::string_view path, std::string_view name) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  ++operations_;
  Key* k = Find(path);
  if (!k) return false;
  StoredValue* v = k->Value(name);
  if (!v) return false;
  k->values.Remove(v);
  return true;
}

std::vector<std::string> RegistryStore::ValueNames(std::string_view path) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  ++operations_;
  std::vector<std::string> out;
  if (Key* k = Find(path)) {
    out.reserve(k->values.Size());
    k->values.ForEach([&out](const StoredValue& v) { out.push_back(v.name); });
  }
  return out;
}

std::vector<RegWrite> RegistryStore::WriteLog() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  std::vector<RegWrite> out;
  out.reserve(log_.size());
  for (const LogEntry& e : log_) {
    RegWrite w;
    w.path.assign(logBytes_, e.path, e.pathSize);
    w.value.name.assign(logBytes_, e.name, e.nameSize);
    w.value.type = e.type;
    const auto* bytes = reinterpret_cast<const uint8_t*>(logBytes_.data()) + e.data;
    w.value.data.assign(bytes, bytes + e.dataSize);
    out.push_back(std::move(w));
  }
  return out;
}

void RegistryStore::ClearWriteLog() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  log_.clear();
  logBytes_.clear();
}

void RegistryStore::SetWriteFault(WriteFault fault) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  fault_ = std::move(fault);
}

bool RegistryStore::SetDword(std::string_view path, std::string_view name, uint32_t value) {
  uint8_t b[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
  return SetValue(path, name, 4 /* REG_DWORD */, b, 4);
}

bool RegistryStore::SetString(std::string_view path, std::string_view name, std::string_view value) {
  // Each byte widened to one UTF-16LE unit, then the NUL unit.
  uint8_t small[256];
  std::vector<uint8_t> large;
  const size_t size = 2 * value.size() + 2;
  uint8_t* bytes = small;
  if (size > sizeof small) {
    large.resize(size);
    bytes = large.data();
  }
  for (size_t i = 0; i < value.size(); ++i) {
    bytes[2 * i] = static_cast<uint8_t>(value[i]);
    bytes[2 * i + 1] = 0;
  }
  bytes[size - 2] = 0;
  bytes[size - 1] = 0;
  return SetValue(path, name, 1 /* REG_SZ */, bytes, size);
}

std::optional<std::string> RegistryStore::GetString(std::string_view path, std::string_view name) const {
  std::optional<std::string> out;
  ReadValue(path, name, [&out](const RegValueView& v) {
    std::string text;
    for (size_t i = 0; i + 1 < v.size; i += 2) {
      uint16_t ch = uint16_t(v.data[i] | (v.data[i + 1] << 8));
      if (ch == 0) break;
      text.push_back(ch < 0x80 ? char(ch) : '?');
    }
    out = std::move(text);
  });
  return out;
}

}  // namespace host
