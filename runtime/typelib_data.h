// What a type library holds once read, shared by the reader of its
// serialised form (runtime/typelib_writer.h) and the ITypeLib and ITypeInfo
// objects over it. Internal to the runtime.
#pragma once

#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "platform/typelib.h"

namespace vorn_typelib {

struct FuncData {
  FUNCDESC desc{};
  std::vector<ELEMDESC> params;
  std::string name;
  std::vector<std::string> paramNames;
  std::string doc;
  DWORD helpContext = 0;
};

struct TypeData {
  TYPEATTR attr{};
  std::string name;
  std::string doc;
  DWORD helpContext = 0;
  std::vector<std::pair<HREFTYPE, INT>> impls;
  std::vector<FuncData> funcs;
};

struct LibData {
  TLIBATTR attr{};
  std::string name;
  std::string doc;
  std::string helpFile;
  DWORD helpContext = 0;
  std::vector<TypeData> types;
  std::deque<TYPEDESC> pointed;  // targets of VT_PTR types, at stable addresses
};

// Reads a serialised library into *lib. TYPE_E_INVDATAREAD for anything
// malformed: short or surplus bytes, unknown types, references outside the
// library, nesting deeper than the reader allows.
HRESULT Parse(const BYTE* data, size_t size, LibData* lib);

}  // namespace vorn_typelib
