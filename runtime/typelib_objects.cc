// ITypeLib and ITypeInfo over a library that was read, and the loading of
// libraries from files, from library resources and from memory.

#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/resource.h"
#include "platform/runtime.h"
#include "runtime/com_ptr.h"
#include "runtime/text.h"
#include "runtime/typelib_data.h"
#include "runtime/unknown_impl.h"

namespace {

using vorn_typelib::FuncData;
using vorn_typelib::LibData;
using vorn_typelib::Parse;
using vorn_typelib::TypeData;

constexpr size_t kMaxFileSize = 64u << 20;

// Hands out a new BSTR through an optional out-parameter.
HRESULT PutText(BSTR* out, const std::string& text) {
  if (!out) return S_OK;
  *out = VornSysAllocStringA(text.data(), static_cast<int>(text.size()));
  return *out ? S_OK : E_OUTOFMEMORY;
}

// ---------------------------------------------------------------------------
// The objects.

class TypeLib;

// One type. Its lifetime is its library's: it counts references on the
// library it belongs to.
class TypeInfo final : public ITypeInfo {
 public:
  TypeInfo(TypeLib* lib, UINT index) : lib_(lib), index_(index) {}

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return QueryInterfaceAs<ITypeInfo>(this, riid, ppv);
  }
  ULONG AddRef() override;
  ULONG Release() override;

  HRESULT GetTypeAttr(TYPEATTR** attr) override {
    if (!attr) return E_INVALIDARG;
    *attr = &Data().attr;
    return S_OK;
  }
  // The descriptions live as long as the library; releasing them is free.
  void ReleaseTypeAttr(TYPEATTR*) override {}
  HRESULT GetFuncDesc(UINT index, FUNCDESC** desc) override {
    if (!desc) return E_INVALIDARG;
    *desc = nullptr;
    if (index >= Data().funcs.size()) return TYPE_E_ELEMENTNOTFOUND;
    *desc = &Data().funcs[index].desc;
    return S_OK;
  }
  void ReleaseFuncDesc(FUNCDESC*) override {}
  HRESULT GetNames(MEMBERID memid, BSTR* names, UINT maxNames, UINT* count) override {
    if (!names || !count) return E_INVALIDARG;
    *count = 0;
    const FuncData* f = Find(memid);
    if (!f) return TYPE_E_ELEMENTNOTFOUND;
    std::vector<const std::string*> all{&f->name};
    for (const std::string& p : f->paramNames) all.push_back(&p);
    for (UINT i = 0; i < maxNames && i < all.size(); ++i) {
      if (FAILED(PutText(&names[i], *all[i]))) {
        for (UINT k = 0; k < i; ++k) SysFreeString(names[k]);
        return E_OUTOFMEMORY;
      }
      *count = i + 1;
    }
    return S_OK;
  }
  HRESULT GetIDsOfNames(LPOLESTR* names, UINT count, MEMBERID* memids) override {
    if (!names || !memids || count == 0) return E_INVALIDARG;
    for (UINT i = 0; i < count; ++i) memids[i] = MEMBERID_NIL;
    const std::string wanted = vorn_rt::Utf16ToUtf8(names[0]);
    for (const FuncData& f : Data().funcs) {
      if (!vorn_rt::EqualNoCase(f.name, wanted)) continue;
      memids[0] = f.desc.memid;
      HRESULT hr = S_OK;
      for (UINT i = 1; i < count; ++i) {
        const std::string param = vorn_rt::Utf16ToUtf8(names[i]);
        bool found = false;
        for (size_t p = 0; p < f.paramNames.size(); ++p) {
          if (vorn_rt::EqualNoCase(f.paramNames[p], param)) {
            memids[i] = static_cast<MEMBERID>(p);
            found = true;
            break;
          }
        }
        if (!found) hr = DISP_E_UNKNOWNNAME;
      }
      return hr;
    }
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT GetDocumentation(MEMBERID memid, BSTR* name, BSTR* docString, DWORD* helpContext,
                           BSTR* helpFile) override;
  HRESULT GetRefTypeOfImplType(UINT index, HREFTYPE* refType) override {
    if (!refType) return E_INVALIDARG;
    if (index >= Data().impls.size()) return TYPE_E_ELEMENTNOTFOUND;
    *refType = Data().impls[index].first;
    return S_OK;
  }
  HRESULT GetImplTypeFlags(UINT index, INT* flags) override {
    if (!flags) return E_INVALIDARG;
    if (index >= Data().impls.size()) return TYPE_E_ELEMENTNOTFOUND;
    *flags = Data().impls[index].second;
    return S_OK;
  }
  HRESULT GetRefTypeInfo(HREFTYPE refType, ITypeInfo** typeInfo) override;
  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
    if (!object) return E_INVALIDARG;
    *object = nullptr;
    if (Data().attr.typekind != TKIND_COCLASS) return E_INVALIDARG;
    return CoCreateInstance(Data().attr.guid, outer, CLSCTX_INPROC_SERVER, riid, object);
  }
  HRESULT GetContainingTypeLib(ITypeLib** typeLib, UINT* index) override;

 private:
  TypeData& Data();
  const FuncData* Find(MEMBERID memid) {
    for (const FuncData& f : Data().funcs) {
      if (f.desc.memid == memid) return &f;
    }
    return nullptr;
  }

  TypeLib* lib_;
  UINT index_;
};

class TypeLib final : public ITypeLib {
 public:
  explicit TypeLib(LibData data) : data_(std::move(data)) {
    for (UINT i = 0; i < data_.types.size(); ++i) {
      infos_.push_back(std::make_unique<TypeInfo>(this, i));
    }
  }

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return QueryInterfaceAs<ITypeLib>(this, riid, ppv);
  }
  ULONG AddRef() override { return refs_.AddRef(); }
  ULONG Release() override { return refs_.Release([this] { delete this; }); }

  UINT GetTypeInfoCount() override { return static_cast<UINT>(infos_.size()); }
  HRESULT GetTypeInfo(UINT index, ITypeInfo** typeInfo) override {
    if (!typeInfo) return E_INVALIDARG;
    *typeInfo = nullptr;
    if (index >= infos_.size()) return TYPE_E_ELEMENTNOTFOUND;
    *typeInfo = infos_[index].get();
    AddRef();
    return S_OK;
  }
  HRESULT GetTypeInfoType(UINT index, TYPEKIND* kind) override {
    if (!kind) return E_INVALIDARG;
    if (index >= data_.types.size()) return TYPE_E_ELEMENTNOTFOUND;
    *kind = data_.types[index].attr.typekind;
    return S_OK;
  }
  HRESULT GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** typeInfo) override {
    if (!typeInfo) return E_INVALIDARG;
    *typeInfo = nullptr;
    if (guid == GUID_NULL) return TYPE_E_ELEMENTNOTFOUND;
    for (UINT i = 0; i < data_.types.size(); ++i) {
      if (data_.types[i].attr.guid == guid) return GetTypeInfo(i, typeInfo);
    }
    return TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT GetLibAttr(TLIBATTR** attr) override {
    if (!attr) return E_INVALIDARG;
    *attr = &data_.attr;
    return S_OK;
  }
  void ReleaseTLibAttr(TLIBATTR*) override {}
  HRESULT GetDocumentation(INT index, BSTR* name, BSTR* docString, DWORD* helpContext,
                           BSTR* helpFile) override {
    const std::string* n;
    const std::string* d;
    DWORD context;
    if (index == -1) {
      n = &data_.name;
      d = &data_.doc;
      context = data_.helpContext;
    } else if (index >= 0 && static_cast<size_t>(index) < data_.types.size()) {
      n = &data_.types[index].name;
      d = &data_.types[index].doc;
      context = data_.types[index].helpContext;
    } else {
      return TYPE_E_ELEMENTNOTFOUND;
    }
    return Document(*n, *d, context, name, docString, helpContext, helpFile);
  }

  // Fills the optional out-parameters of a GetDocumentation call; on failure
  // none of them holds a string.
  HRESULT Document(const std::string& n, const std::string& d, DWORD context, BSTR* name,
                   BSTR* docString, DWORD* helpContext, BSTR* helpFile) {
    BSTR* outs[] = {name, docString, helpFile};
    for (BSTR* o : outs) {
      if (o) *o = nullptr;
    }
    if (FAILED(PutText(name, n)) || FAILED(PutText(docString, d)) ||
        FAILED(PutText(helpFile, data_.helpFile))) {
      for (BSTR* o : outs) {
        if (o) {
          SysFreeString(*o);
          *o = nullptr;
        }
      }
      return E_OUTOFMEMORY;
    }
    if (helpContext) *helpContext = context;
    return S_OK;
  }

  LibData& data() { return data_; }
  TypeInfo* info(UINT index) { return infos_[index].get(); }

 private:
  ~TypeLib() = default;

  RefCount<> refs_;
  LibData data_;
  std::vector<std::unique_ptr<TypeInfo>> infos_;
};

ULONG TypeInfo::AddRef() { return lib_->AddRef(); }
ULONG TypeInfo::Release() { return lib_->Release(); }
TypeData& TypeInfo::Data() { return lib_->data().types[index_]; }

HRESULT TypeInfo::GetDocumentation(MEMBERID memid, BSTR* name, BSTR* docString,
                                   DWORD* helpContext, BSTR* helpFile) {
  if (memid == MEMBERID_NIL) {
    return lib_->Document(Data().name, Data().doc, Data().helpContext, name, docString,
                          helpContext, helpFile);
  }
  const FuncData* f = Find(memid);
  if (!f) return TYPE_E_ELEMENTNOTFOUND;
  return lib_->Document(f->name, f->doc, f->helpContext, name, docString, helpContext,
                        helpFile);
}

HRESULT TypeInfo::GetRefTypeInfo(HREFTYPE refType, ITypeInfo** typeInfo) {
  if (!typeInfo) return E_INVALIDARG;
  *typeInfo = nullptr;
  if (refType >= lib_->data().types.size()) return TYPE_E_ELEMENTNOTFOUND;
  *typeInfo = lib_->info(refType);
  AddRef();
  return S_OK;
}

HRESULT TypeInfo::GetContainingTypeLib(ITypeLib** typeLib, UINT* index) {
  if (typeLib) {
    *typeLib = lib_;
    lib_->AddRef();
  }
  if (index) *index = index_;
  return S_OK;
}

HRESULT LoadFromBytes(const BYTE* data, size_t size, ITypeLib** typeLib) {
  LibData lib;
  HRESULT hr = Parse(data, size, &lib);
  if (FAILED(hr)) return hr;
  *typeLib = new (std::nothrow) TypeLib(std::move(lib));
  return *typeLib ? S_OK : E_OUTOFMEMORY;
}

bool ReadFile(const std::string& path, std::vector<BYTE>* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  if (size < 0 || static_cast<size_t>(size) > kMaxFileSize) return false;
  in.seekg(0);
  bytes->resize(static_cast<size_t>(size));
  return static_cast<bool>(in.read(reinterpret_cast<char*>(bytes->data()), size)) || size == 0;
}

HRESULT LoadFromModule(const std::string& path, WORD resourceId, ITypeLib** typeLib) {
  HMODULE module = LoadLibraryA(path.c_str());
  if (!module) return TYPE_E_CANTLOADLIBRARY;
  HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(resourceId), RT_TYPELIB);
  const void* data = LockResource(LoadResource(module, found));
  HRESULT hr = TYPE_E_CANTLOADLIBRARY;
  if (data) hr = LoadFromBytes(static_cast<const BYTE*>(data), SizeofResource(module, found), typeLib);
  FreeLibrary(module);
  return hr;
}

}  // namespace

HRESULT VornLoadTypeLibFromMemory(const void* data, SIZE_T cb, ITypeLib** typeLib) {
  if (!typeLib) return E_INVALIDARG;
  *typeLib = nullptr;
  try {
    return LoadFromBytes(static_cast<const BYTE*>(data), cb, typeLib);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT LoadTypeLib(LPCOLESTR file, ITypeLib** typeLib) {
  if (!typeLib || !file) return E_INVALIDARG;
  *typeLib = nullptr;
  try {
    std::string path = vorn_rt::Utf16ToUtf8(file);
    std::vector<BYTE> bytes;
    WORD resourceId = 1;
    if (!ReadFile(path, &bytes)) {
      // "library\N" names resource N of a library.
      const size_t slash = path.rfind('\\');
      if (slash == std::string::npos || slash + 1 == path.size() || slash + 6 < path.size()) {
        return TYPE_E_CANTLOADLIBRARY;
      }
      unsigned long id = 0;
      for (size_t i = slash + 1; i < path.size(); ++i) {
        if (path[i] < '0' || path[i] > '9') return TYPE_E_CANTLOADLIBRARY;
        id = id * 10 + static_cast<unsigned long>(path[i] - '0');
      }
      if (id == 0 || id > 0xFFFF) return TYPE_E_CANTLOADLIBRARY;
      path.resize(slash);
      if (!ReadFile(path, &bytes)) return TYPE_E_CANTLOADLIBRARY;
      resourceId = static_cast<WORD>(id);
    }
    if (bytes.size() >= 4 && std::memcmp(bytes.data(), "\x7F" "ELF", 4) == 0) {
      return LoadFromModule(path, resourceId, typeLib);
    }
    return LoadFromBytes(bytes.data(), bytes.size(), typeLib);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}
