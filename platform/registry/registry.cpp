#include "registry.h"

#include <cctype>
#include <memory>

namespace host {

namespace {

std::vector<std::string> SplitPath(const std::string& path) {
  std::vector<std::string> parts;
  std::string cur;
  for (char c : path) {
    if (c == '\\') {
      if (!cur.empty()) parts.push_back(cur);
      cur.clear();
    } else {
      cur.push_back(c);
    }
  }
  if (!cur.empty()) parts.push_back(cur);
  return parts;
}

}  // namespace

uint32_t RegValue::Dword() const {
  uint32_t v = 0;
  for (size_t i = 0; i < 4 && i < data.size(); ++i) v |= uint32_t(data[i]) << (8 * i);
  return v;
}

struct RegistryStore::Key {
  std::string name;
  std::vector<std::unique_ptr<Key>> children;
  std::vector<RegValue> values;

  Key* Child(const std::string& n) const {
    for (auto& c : children)
      if (NamesEqual(c->name, n)) return c.get();
    return nullptr;
  }
  RegValue* Value(const std::string& n) {
    for (auto& v : values)
      if (NamesEqual(v.name, n)) return &v;
    return nullptr;
  }
};

bool RegistryStore::NamesEqual(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) !=
        std::toupper(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

RegistryStore::RegistryStore() : root_(new Key) {}

RegistryStore& RegistryStore::Instance() {
  static RegistryStore store;
  return store;
}

void RegistryStore::Reset() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  delete root_;
  root_ = new Key;
  log_.clear();
  fault_ = nullptr;
}

RegistryStore::Key* RegistryStore::Find(const std::string& path) const {
  Key* k = root_;
  for (auto& part : SplitPath(path)) {
    k = k->Child(part);
    if (!k) return nullptr;
  }
  return k;
}

bool RegistryStore::KeyExists(const std::string& path) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return Find(path) != nullptr;
}

bool RegistryStore::CreateKey(const std::string& path) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  Key* k = root_;
  bool created = false;
  for (auto& part : SplitPath(path)) {
    Key* c = k->Child(part);
    if (!c) {
      k->children.push_back(std::make_unique<Key>());
      c = k->children.back().get();
      c->name = part;
      created = true;
    }
    k = c;
  }
  return created;
}

bool RegistryStore::DeleteKey(const std::string& path) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto parts = SplitPath(path);
  if (parts.empty()) return false;
  Key* parent = root_;
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    parent = parent->Child(parts[i]);
    if (!parent) return false;
  }
  for (auto it = parent->children.begin(); it != parent->children.end(); ++it) {
    if (NamesEqual((*it)->name, parts.back())) {
      parent->children.erase(it);
      return true;
    }
  }
  return false;
}

std::vector<std::string> RegistryStore::SubKeys(const std::string& path) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  std::vector<std::string> out;
  if (Key* k = Find(path))
    for (auto& c : k->children) out.push_back(c->name);
  return out;
}

bool RegistryStore::SetValue(const std::string& path, const std::string& name, uint32_t type,
                             const void* data, size_t size) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  Key* k = Find(path);
  if (!k) return false;
  if (fault_ && fault_(path, name)) return false;
  RegValue* v = k->Value(name);
  if (!v) {
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
  Key* k = Find(path);
  if (!k) return std::nullopt;
  if (RegValue* v = k->Value(name)) return *v;
  return std::nullopt;
}

bool RegistryStore::DeleteValue(const std::string& path, const std::string& name) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
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
