#include "registry.h"

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
// that a lookup compares one number per sibling before any characters.
uint32_t FoldedHash(const char* name, size_t size) {
  uint32_t h = 2166136261u;
  for (size_t i = 0; i < size; ++i) h = (h ^ static_cast<unsigned char>(Fold(name[i]))) * 16777619u;
  return h;
}

// Calls part(name, size) for each backslash-separated component of a path,
// skipping empty ones, until it returns false. Returns whether every call
// returned true.
template <typename Part>
bool ForEachPart(const std::string& path, Part part) {
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

}  // namespace

uint32_t RegValue::Dword() const {
  uint32_t v = 0;
  for (size_t i = 0; i < 4 && i < data.size(); ++i) v |= uint32_t(data[i]) << (8 * i);
  return v;
}

struct RegistryStore::Key {
  std::string name;
  uint32_t hash = 0;  // FoldedHash(name)
  std::vector<KeyRef> children;
  std::vector<RegValue> values;
  bool deleted = false;

  const KeyRef* ChildRef(const char* n, size_t size) const {
    const uint32_t h = FoldedHash(n, size);
    for (auto& c : children)
      if (c->hash == h && c->name.size() == size && EqualFolded(c->name.data(), n, size)) return &c;
    return nullptr;
  }
  Key* Child(const char* n, size_t size) const {
    const KeyRef* c = ChildRef(n, size);
    return c ? c->get() : nullptr;
  }
  RegValue* Value(const std::string& n) {
    for (auto& v : values)
      if (NamesEqual(v.name, n)) return &v;
    return nullptr;
  }
  // The key and every key below it are gone; handles on them see that.
  void MarkDeleted() {
    deleted = true;
    for (auto& c : children) c->MarkDeleted();
  }
};

bool RegistryStore::NamesEqual(const std::string& a, const std::string& b) {
  return a.size() == b.size() && EqualFolded(a.data(), b.data(), a.size());
}

RegistryStore::RegistryStore() : root_(std::make_shared<Key>()) {}

RegistryStore& RegistryStore::Instance() {
  static RegistryStore store;
  return store;
}

void RegistryStore::Reset() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  ++operations_;
  ForgetCachedKey();
  root_->MarkDeleted();
  root_ = std::make_shared<Key>();
  log_.clear();
  fault_ = nullptr;
}

RegistryStore::Key* RegistryStore::Find(const std::string& path) const {
  // Callers work on one key several times in a row; the last key found is
  // kept with its path until a key is deleted.
  if (cachedKey_ != nullptr && path == cachedPath_) return cachedKey_;
  Key* k = root_.get();
  bool found = ForEachPart(path, [&k](const char* part, size_t size) {
    k = k->Child(part, size);
    return k != nullptr;
  });
  if (!found) return nullptr;
  cachedPath_ = path;
  cachedKey_ = k;
  return k;
}

void RegistryStore::ForgetCachedKey() {
  cachedKey_ = nullptr;
  cachedPath_.clear();
}

bool RegistryStore::KeyExists(const std::string& path) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  ++operations_;
  return Find(path) != nullptr;
}

bool RegistryStore::CreateKey(const std::string& path) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  ++operations_;
  if (Find(path) != nullptr) return false;
  Key* k = root_.get();
  bool created = false;
  ForEachPart(path, [&](const char* part, size_t size) {
    Key* c = k->Child(part, size);
    if (!c) {
      k->children.push_back(std::make_shared<Key>());
      c = k->children.back().get();
      c->name.assign(part, size);
      c->hash = FoldedHash(part, size);
      created = true;
    }
    k = c;
    return true;
  });
  return created;
}

bool RegistryStore::DeleteKey(const std::string& path) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  ++operations_;
  Key* parent = nullptr;
  Key* k = root_.get();
  ForEachPart(path, [&](const char* part, size_t size) {
    parent = k;
    k = k ? k->Child(part, size) : nullptr;
    return k != nullptr;
  });
  if (parent == nullptr || k == nullptr) return false;
  for (auto it = parent->children.begin(); it != parent->children.end(); ++it) {
    if (it->get() == k) {
      ForgetCachedKey();
      k->MarkDeleted();
      parent->children.erase(it);
      return true;
    }
  }
  return false;
}

std::vector<std::string> RegistryStore::SubKeys(const std::string& path) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  ++operations_;
  std::vector<std::string> out;
  if (Key* k = Find(path))
    for (auto& c : k->children) out.push_back(c->name);
  return out;
}

bool RegistryStore::SetValue(const std::string& path, const std::string& name, uint32_t type,
                             const void* data, size_t size) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  ++operations_;
  return SetValueLocked(Find(path), path, name, type, data, size);
}

bool RegistryStore::SetValueLocked(Key* k, const std::string& path, const std::string& name,
                                   uint32_t type, const void* data, size_t size) {
  if (!k || k->deleted) return false;
  if (fault_ && fault_(path, name)) return false;
  RegValue* v = k->Value(name);
  if (!v) {
    // Keys hold a handful of values; growing 1, 2, 4 ... costs a copy each time.
    if (k->values.empty()) k->values.reserve(8);
    k->values.push_back(RegValue{});
    v = &k->values.back();
    v->name = name;
  }
  v->type = type;
  const auto* p = static_cast<const uint8_t*>(data);
  v->data.assign(p, p + size);
  log_.push_back(RegWrite{path, *v});
  return true;
}

std::optional<RegValue> RegistryStore::GetValue(const std::string& path,
                                                const std::string& name) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  ++operations_;
  Key* k = Find(path);
  if (!k) return std::nullopt;
  if (RegValue* v = k->Value(name)) return *v;
  return std::nullopt;
}

RegistryStore::KeyRef RegistryStore::OpenKey(const std::string& path) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  ++operations_;
  KeyRef k = root_;
  bool found = ForEachPart(path, [&k](const char* part, size_t size) {
    const KeyRef* c = k->ChildRef(part, size);
    if (c == nullptr) return false;
    k = *c;
    return true;
  });
  return found ? k : nullptr;
}

bool RegistryStore::KeyDeleted(const KeyRef& key) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  ++operations_;
  return !key || key->deleted;
}

bool RegistryStore::SetValue(const KeyRef& key, const std::string& path, const std::string& name,
                             uint32_t type, const void* data, size_t size) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  ++operations_;
  return SetValueLocked(key.get(), path, name, type, data, size);
}

std::optional<RegValue> RegistryStore::GetValue(const KeyRef& key, const std::string& name) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  ++operations_;
  if (!key || key->deleted) return std::nullopt;
  if (RegValue* v = key->Value(name)) return *v;
  return std::nullopt;
}

uint64_t RegistryStore::OperationCount() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return operations_;
}

bool RegistryStore::DeleteValue(const std::string& path, const std::string& name) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  ++operations_;
  Key* k = Find(path);
  if (!k) return false;
  for (auto it = k->values.begin(); it != k->values.end(); ++it) {
    if (NamesEqual(it->name, name)) {
      k->values.erase(it);
      return true;
    }
  }
  return false;
}

std::vector<std::string> RegistryStore::ValueNames(const std::string& path) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  ++operations_;
  std::vector<std::string> out;
  if (Key* k = Find(path))
    for (auto& v : k->values) out.push_back(v.name);
  return out;
}

std::vector<RegWrite> RegistryStore::WriteLog() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return log_;
}

void RegistryStore::ClearWriteLog() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  log_.clear();
}

void RegistryStore::SetWriteFault(WriteFault fault) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  fault_ = std::move(fault);
}

bool RegistryStore::SetDword(const std::string& path, const std::string& name, uint32_t value) {
  uint8_t b[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
  return SetValue(path, name, 4 /* REG_DWORD */, b, 4);
}

bool RegistryStore::SetString(const std::string& path, const std::string& name,
                              const std::string& value) {
  std::vector<uint8_t> bytes;
  for (char c : value) {
    bytes.push_back(static_cast<uint8_t>(c));
    bytes.push_back(0);
  }
  bytes.push_back(0);
  bytes.push_back(0);
  return SetValue(path, name, 1 /* REG_SZ */, bytes.data(), bytes.size());
}

std::optional<std::string> RegistryStore::GetString(const std::string& path,
                                                    const std::string& name) const {
  auto v = GetValue(path, name);
  if (!v) return std::nullopt;
  std::string out;
  for (size_t i = 0; i + 1 < v->data.size(); i += 2) {
    uint16_t ch = uint16_t(v->data[i] | (v->data[i + 1] << 8));
    if (ch == 0) break;
    out.push_back(ch < 0x80 ? char(ch) : '?');
  }
  return out;
}

}  // namespace host
