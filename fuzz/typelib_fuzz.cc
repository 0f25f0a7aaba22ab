// Feeds bytes to the type-library reader. Inputs whose first byte is odd are
// given a valid header with the right size and checksum, so that the fuzzer
// reaches the body's parser instead of stopping at the checksum.

#include <cstring>
#include <vector>

#include "platform/typelib.h"
#include "runtime/com_ptr.h"
#include "runtime/typelib_writer.h"

namespace {

void Exercise(ITypeLib* lib) {
  const UINT count = lib->GetTypeInfoCount();
  for (UINT i = 0; i < count; ++i) {
    ComPtr<ITypeInfo> info;
    if (FAILED(lib->GetTypeInfo(i, info.Put()))) continue;
    TYPEATTR* ta = nullptr;
    if (FAILED(info->GetTypeAttr(&ta))) continue;
    for (UINT f = 0; f < ta->cFuncs; ++f) {
      FUNCDESC* fd = nullptr;
      if (FAILED(info->GetFuncDesc(f, &fd))) continue;
      BSTR names[8] = {};
      UINT got = 0;
      if (SUCCEEDED(info->GetNames(fd->memid, names, 8, &got))) {
        for (UINT n = 0; n < got; ++n) SysFreeString(names[n]);
      }
      for (SHORT p = 0; p < fd->cParams; ++p) {
        const TYPEDESC* t = &fd->lprgelemdescParam[p].tdesc;
        while (t->vt == VT_PTR) t = t->lptdesc;
        if (t->vt == VT_USERDEFINED) {
          ComPtr<ITypeInfo> ref;
          info->GetRefTypeInfo(t->hreftype, ref.Put());
        }
      }
      info->ReleaseFuncDesc(fd);
    }
    for (UINT k = 0; k < ta->cImplTypes; ++k) {
      HREFTYPE href;
      ComPtr<ITypeInfo> ref;
      if (SUCCEEDED(info->GetRefTypeOfImplType(k, &href))) info->GetRefTypeInfo(href, ref.Put());
    }
    info->ReleaseTypeAttr(ta);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<BYTE> bytes;
  if (size > 0 && (data[0] & 1)) {
    bytes.resize(16 + size - 1);
    std::memcpy(bytes.data(), "VTLB\x01\x00\x00\x00", 8);
    const uint32_t body = static_cast<uint32_t>(size - 1);
    std::memcpy(bytes.data() + 8, &body, 4);
    const uint32_t crc = VornTypeLibChecksum(data + 1, size - 1);
    std::memcpy(bytes.data() + 12, &crc, 4);
    std::memcpy(bytes.data() + 16, data + 1, size - 1);
  } else {
    bytes.assign(data, data + size);
  }
  ComPtr<ITypeLib> lib;
  if (SUCCEEDED(VornLoadTypeLibFromMemory(bytes.data(), bytes.size(), lib.Put()))) {
    Exercise(lib.Get());
  }
  return 0;
}
