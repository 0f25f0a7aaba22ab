// The registry functions: open-key handles over the file-backed tree.
//
// An open key is recorded by its root and path rather than by a pointer into
// the tree, because the tree is read again whenever another process changes
// the file. A handle whose key has gone (deleted here or by another process)
// is marked deleted for good and answers ERROR_KEY_DELETED. Handle values are
// never reused, so a closed or invented handle is recognised as unknown.

#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/registry.h"
#include "runtime/registry_file.h"
#include "runtime/registry_store.h"

namespace vorn_rt {
namespace {

using Path = std::vector<std::string>;

struct OpenKey {
  int root = 0;
  Path path;  // names as stored when the key was opened
  bool deleted = false;
};

struct Registry {
  std::mutex mutex;
  RegistryStore store;
  std::unordered_map<uintptr_t, OpenKey> handles;
  uintptr_t lastHandle = 0x1000;
};

Registry& Instance() {
  // Never destroyed: keys may be closed from static destructors.
  static Registry* registry = new Registry;
  return *registry;
}

int PredefinedRoot(HKEY key) {
  if (key == HKEY_CLASSES_ROOT) return kClassesRoot;
  if (key == HKEY_CURRENT_USER) return kCurrentUser;
  if (key == HKEY_LOCAL_MACHINE) return kLocalMachine;
  return -1;
}

// Splits "a\b\c" into its names. Null or empty is no name at all; one
// trailing backslash is tolerated; an empty name inside is malformed.
bool SplitPath(LPCSTR subKey, Path* parts) {
  parts->clear();
  if (!subKey || !*subKey) return true;
  std::string_view rest(subKey);
  if (rest.back() == '\\') rest.remove_suffix(1);
  while (true) {
    const size_t slash = rest.find('\\');
    const std::string_view name = rest.substr(0, slash);
    if (name.empty()) return false;
    parts->emplace_back(name);
    if (slash == std::string_view::npos) return true;
    rest.remove_prefix(slash + 1);
  }
}

// What an HKEY names: a root, or an open key's root and path.
struct Base {
  int root = 0;
  Path path;
  OpenKey* open = nullptr;  // null for a root
};

LONG ResolveHandle(Registry& registry, HKEY key, Base* base) {
  const int root = PredefinedRoot(key);
  if (root >= 0) {
    base->root = root;
    base->path.clear();
    base->open = nullptr;
    return ERROR_SUCCESS;
  }
  auto it = registry.handles.find(reinterpret_cast<uintptr_t>(key));
  if (it == registry.handles.end()) return ERROR_INVALID_HANDLE;
  if (it->second.deleted) return ERROR_KEY_DELETED;
  base->root = it->second.root;
  base->path = it->second.path;
  base->open = &it->second;
  return ERROR_SUCCESS;
}

// Follows `count` names of `path` from `from`; null when one is missing.
RegKey* Walk(RegKey* from, const Path& path, size_t count) {
  RegKey* key = from;
  for (size_t i = 0; i < count && key; ++i) key = key->Find(path[i]);
  return key;
}

// The key `base` names in `tree`. A handle whose key is gone is marked.
LONG LocateBase(const RegistryTree& tree, Base& base, RegKey** key) {
  *key = Walk(tree.roots[base.root].get(), base.path, base.path.size());
  if (*key) return ERROR_SUCCESS;
  if (base.open) base.open->deleted = true;
  return ERROR_KEY_DELETED;
}

bool SameName(const std::string& a, const std::string& b) { return FoldName(a) == FoldName(b); }

// Marks the open keys at `path` (when `includeSelf`) and below it deleted.
void MarkDeleted(Registry& registry, int root, const Path& path, bool includeSelf) {
  for (auto& entry : registry.handles) {
    OpenKey& open = entry.second;
    if (open.root != root || open.path.size() < path.size()) continue;
    if (open.path.size() == path.size() && !includeSelf) continue;
    bool below = true;
    for (size_t i = 0; i < path.size() && below; ++i) below = SameName(open.path[i], path[i]);
    if (below) open.deleted = true;
  }
}

HKEY NewHandle(Registry& registry, int root, Path path) {
  const uintptr_t id = ++registry.lastHandle;
  registry.handles.emplace(id, OpenKey{root, std::move(path), false});
  return reinterpret_cast<HKEY>(id);
}

// Every exported function runs its body here: no exception leaves.
template <class Body>
LSTATUS Guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    // Only allocation can fail inside (std::bad_alloc, std::length_error).
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

// Size in bytes of a value's data as the caller receives it.
DWORD DataSize(const RegValue& value) {
  return value.type == REG_DWORD ? sizeof(DWORD) : static_cast<DWORD>(value.text.size() + 1);
}

void CopyData(const RegValue& value, LPBYTE data) {
  if (value.type == REG_DWORD) {
    std::memcpy(data, &value.number, sizeof(DWORD));
  } else {
    std::memcpy(data, value.text.c_str(), value.text.size() + 1);
  }
}

// Runs `body(registry, base)` under the registry lock once `key` resolves;
// otherwise returns what resolving it reported.
template <class Body>
LONG WithKey(HKEY key, Body&& body) {
  Registry& registry = Instance();
  std::lock_guard<std::mutex> lock(registry.mutex);
  Base base;
  if (LONG status = ResolveHandle(registry, key, &base); status != ERROR_SUCCESS) return status;
  return body(registry, base);
}

// Brings the tree up to date and finds the key `base` names in it.
LONG LocateCurrent(Registry& registry, Base& base, RegKey** key) {
  if (LONG status = registry.store.Refresh(); status != ERROR_SUCCESS) return status;
  return LocateBase(registry.store.tree(), base, key);
}

// Runs `body(found)` on the up-to-date key that `key` names, under the lock.
template <class Body>
LONG ReadKey(HKEY key, Body&& body) {
  return WithKey(key, [&](Registry& registry, Base& base) -> LONG {
    RegKey* found = nullptr;
    if (LONG status = LocateCurrent(registry, base, &found); status != ERROR_SUCCESS) {
      return status;
    }
    return body(static_cast<const RegKey&>(*found));
  });
}

// Runs `body(target, changed)` on the key that `key` names inside one store
// modification, under the lock; `body` sets *changed when it altered the key.
template <class Body>
LONG WriteKey(HKEY key, Body&& body) {
  return WithKey(key, [&](Registry& registry, Base& base) -> LONG {
    return registry.store.Modify([&](RegistryTree& tree, bool* changed) -> LONG {
      RegKey* target = nullptr;
      if (LONG located = LocateBase(tree, base, &target); located != ERROR_SUCCESS) {
        return located;
      }
      return body(*target, changed);
    });
  });
}

// Deletes the key at `base` + `parts` (and, for a tree, all below it).
LONG DeleteKey(HKEY key, LPCSTR subKey, bool wholeTree) {
  return WithKey(key, [&](Registry& registry, Base& base) -> LONG {
    Path parts;
    if (!SplitPath(subKey, &parts)) return ERROR_INVALID_PARAMETER;
    Path full = base.path;
    full.insert(full.end(), parts.begin(), parts.end());
    const bool clearOnly = wholeTree && parts.empty();
    if (full.empty() && !clearOnly) return ERROR_ACCESS_DENIED;  // a root stays

    const LONG status = registry.store.Modify([&](RegistryTree& tree, bool* changed) -> LONG {
      RegKey* self = nullptr;
      if (LONG located = LocateBase(tree, base, &self); located != ERROR_SUCCESS) return located;
      if (clearOnly) {
        *changed = !self->subkeys.empty() || !self->values.empty();
        self->subkeys.clear();
        self->values.clear();
        return ERROR_SUCCESS;
      }
      RegKey* parent = Walk(tree.roots[base.root].get(), full, full.size() - 1);
      RegKey* target = parent ? parent->Find(full.back()) : nullptr;
      if (!target) return ERROR_FILE_NOT_FOUND;
      if (!wholeTree && !target->subkeys.empty()) return ERROR_ACCESS_DENIED;
      parent->subkeys.erase(FoldName(full.back()));
      *changed = true;
      return ERROR_SUCCESS;
    });
    if (status == ERROR_SUCCESS) MarkDeleted(registry, base.root, full, !clearOnly);
    return status;
  });
}

}  // namespace
}  // namespace vorn_rt

using namespace vorn_rt;

LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD /*options*/, REGSAM /*access*/,
                      PHKEY result) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  return Guarded([&] {
    return WithKey(key, [&](Registry& registry, Base& base) -> LONG {
      Path parts;
      if (!SplitPath(subKey, &parts)) return ERROR_INVALID_PARAMETER;
      RegKey* found = nullptr;
      if (LONG status = LocateCurrent(registry, base, &found); status != ERROR_SUCCESS) {
        return status;
      }
      Path path = base.path;
      for (const std::string& name : parts) {
        found = found->Find(name);
        if (!found) return ERROR_FILE_NOT_FOUND;
        path.push_back(found->name);
      }
      *result = NewHandle(registry, base.root, std::move(path));
      return ERROR_SUCCESS;
    });
  });
}

LSTATUS RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR /*className*/,
                        DWORD /*options*/, REGSAM /*access*/, void* /*security*/, PHKEY result,
                        LPDWORD disposition) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  if (reserved != 0) return ERROR_INVALID_PARAMETER;
  return Guarded([&] {
    return WithKey(key, [&](Registry& registry, Base& base) -> LONG {
      Path parts;
      if (!SplitPath(subKey, &parts)) return ERROR_INVALID_PARAMETER;
      for (const std::string& name : parts) {
        if (!IsValidKeyName(name)) return ERROR_INVALID_PARAMETER;
      }
      // Opening an existing key needs no write.
      LONG status = registry.store.Refresh();
      if (status != ERROR_SUCCESS) return status;
      bool created = false;
      Path path;
      auto follow = [&](RegistryTree& tree, bool create) -> LONG {
        RegKey* at = nullptr;
        if (LONG located = LocateBase(tree, base, &at); located != ERROR_SUCCESS) return located;
        path = base.path;
        for (const std::string& name : parts) {
          RegKey* next = at->Find(name);
          if (!next) {
            if (!create) return ERROR_FILE_NOT_FOUND;
            next = &at->Child(name);
            created = true;
          }
          path.push_back(next->name);
          at = next;
        }
        return ERROR_SUCCESS;
      };
      // The tree is only read when `create` is false.
      status = follow(const_cast<RegistryTree&>(registry.store.tree()), false);
      if (status == ERROR_FILE_NOT_FOUND) {
        status = registry.store.Modify([&](RegistryTree& tree, bool* changed) -> LONG {
          const LONG followed = follow(tree, true);
          *changed = created;
          return followed;
        });
      }
      if (status != ERROR_SUCCESS) return status;
      if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
      *result = NewHandle(registry, base.root, std::move(path));
      return ERROR_SUCCESS;
    });
  });
}

LSTATUS RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD cbData) {
  if (reserved || (data && !cbData)) return ERROR_INVALID_PARAMETER;
  return Guarded([&] {
    return ReadKey(key, [&](const RegKey& found) -> LONG {
      const RegValue* value = found.FindValue(valueName ? valueName : "");
      if (!value) return ERROR_FILE_NOT_FOUND;
      const DWORD size = DataSize(*value);
      if (type) *type = value->type;
      if (data) {
        if (*cbData < size) {
          *cbData = size;
          return ERROR_MORE_DATA;
        }
        CopyData(*value, data);
      }
      if (cbData) *cbData = size;
      return ERROR_SUCCESS;
    });
  });
}

LSTATUS RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                       DWORD cbData) {
  if (reserved != 0) return ERROR_INVALID_PARAMETER;
  return Guarded([&]() -> LSTATUS {
    RegValue value;
    value.name = valueName ? valueName : "";
    if (value.name.size() > kMaxValueNameLength) return ERROR_INVALID_PARAMETER;
    value.type = type;
    switch (type) {
      case REG_SZ:
      case REG_EXPAND_SZ: {
        if (!data && cbData != 0) return ERROR_INVALID_PARAMETER;
        const char* text = reinterpret_cast<const char*>(data);
        if (text) value.text.assign(text, strnlen(text, cbData));
        break;
      }
      case REG_DWORD:
        if (!data || cbData != sizeof(DWORD)) return ERROR_INVALID_PARAMETER;
        std::memcpy(&value.number, data, sizeof(DWORD));
        break;
      default:
        return ERROR_INVALID_PARAMETER;
    }
    return WriteKey(key, [&](RegKey& target, bool* changed) -> LONG {
      const RegValue* old = target.FindValue(value.name);
      if (old && old->type == value.type && old->text == value.text &&
          old->number == value.number) {
        return ERROR_SUCCESS;
      }
      target.Set(std::move(value));
      *changed = true;
      return ERROR_SUCCESS;
    });
  });
}

LSTATUS RegDeleteValueA(HKEY key, LPCSTR valueName) {
  return Guarded([&]() -> LSTATUS {
    const std::string folded = FoldName(valueName ? valueName : "");
    return WriteKey(key, [&](RegKey& target, bool* changed) -> LONG {
      if (target.values.erase(folded) == 0) return ERROR_FILE_NOT_FOUND;
      *changed = true;
      return ERROR_SUCCESS;
    });
  });
}

LSTATUS RegDeleteKeyA(HKEY key, LPCSTR subKey) {
  return Guarded([&] { return DeleteKey(key, subKey, false); });
}

LSTATUS RegDeleteTreeA(HKEY key, LPCSTR subKey) {
  return Guarded([&] { return DeleteKey(key, subKey, true); });
}

LSTATUS RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD cchName, LPDWORD reserved,
                      LPSTR className, LPDWORD cchClassName, FILETIME* lastWriteTime) {
  if (!name || !cchName || reserved) return ERROR_INVALID_PARAMETER;
  return Guarded([&] {
    return ReadKey(key, [&](const RegKey& found) -> LONG {
      if (index >= found.subkeys.size()) return ERROR_NO_MORE_ITEMS;
      const std::string& subkeyName = std::next(found.subkeys.begin(), index)->second->name;
      const DWORD length = static_cast<DWORD>(subkeyName.size());
      if (*cchName < length + 1) {
        *cchName = length;
        return ERROR_MORE_DATA;
      }
      std::memcpy(name, subkeyName.c_str(), length + 1);
      *cchName = length;
      if (className && cchClassName && *cchClassName > 0) className[0] = '\0';
      if (cchClassName) *cchClassName = 0;
      if (lastWriteTime) *lastWriteTime = FILETIME{0, 0};
      return ERROR_SUCCESS;
    });
  });
}

LSTATUS RegEnumValueA(HKEY key, DWORD index, LPSTR valueName, LPDWORD cchValueName,
                      LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD cbData) {
  if (!valueName || !cchValueName || reserved || (data && !cbData)) {
    return ERROR_INVALID_PARAMETER;
  }
  return Guarded([&] {
    return ReadKey(key, [&](const RegKey& found) -> LONG {
      if (index >= found.values.size()) return ERROR_NO_MORE_ITEMS;
      const RegValue& value = std::next(found.values.begin(), index)->second;
      const DWORD length = static_cast<DWORD>(value.name.size());
      const DWORD size = DataSize(value);
      if (type) *type = value.type;
      if (*cchValueName < length + 1 || (data && *cbData < size)) {
        *cchValueName = length;
        if (cbData) *cbData = size;
        return ERROR_MORE_DATA;
      }
      std::memcpy(valueName, value.name.c_str(), length + 1);
      *cchValueName = length;
      if (data) CopyData(value, data);
      if (cbData) *cbData = size;
      return ERROR_SUCCESS;
    });
  });
}

LSTATUS RegCloseKey(HKEY key) {
  if (PredefinedRoot(key) >= 0) return ERROR_SUCCESS;
  return Guarded([&]() -> LSTATUS {
    Registry& registry = Instance();
    std::lock_guard<std::mutex> lock(registry.mutex);
    return registry.handles.erase(reinterpret_cast<uintptr_t>(key)) ? ERROR_SUCCESS
                                                                     : ERROR_INVALID_HANDLE;
  });
}
