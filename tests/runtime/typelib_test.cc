#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "platform/registry.h"
#include "platform/resource.h"
#include "platform/runtime.h"
#include "platform/typelib.h"
#include "runtime/com_ptr.h"
#include "runtime/typelib_writer.h"
#include "tests/runtime/sample_typelib.h"
#include "tests/support/temp_root.h"

namespace {

using vorn_test::SampleTypeLib;

std::u16string Wide(const std::string& text) {
  std::u16string result(text.size() + 1, u'\0');
  const int n = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, result.data(),
                                    static_cast<int>(result.size()));
  result.resize(n > 0 ? static_cast<size_t>(n - 1) : 0);
  return result;
}

std::string Narrow(BSTR text) {
  LPSTR a = VornSysStringToA(text, nullptr);
  std::string result(a ? a : "");
  CoTaskMemFree(a);
  return result;
}

ComPtr<ITypeLib> Load(const std::vector<BYTE>& bytes, HRESULT* hr = nullptr) {
  ComPtr<ITypeLib> lib;
  const HRESULT result = VornLoadTypeLibFromMemory(bytes.data(), bytes.size(), lib.Put());
  if (hr) *hr = result;
  return lib;
}

void Rewrite(std::vector<BYTE>* bytes) {
  // Recomputes the checksum after a deliberate change of the body.
  const uint32_t crc = VornTypeLibChecksum(bytes->data() + 16, bytes->size() - 16);
  std::memcpy(bytes->data() + 12, &crc, 4);
}

TEST(TypeLib, ReadsBackWhatWasWritten) {
  ComPtr<ITypeLib> lib = Load(SampleTypeLib());
  ASSERT_TRUE(lib);
  TLIBATTR* la = nullptr;
  ASSERT_EQ(lib->GetLibAttr(&la), S_OK);
  EXPECT_EQ(la->guid, vorn_test::kSampleLibId);
  EXPECT_EQ(la->lcid, 0x0409u);
  EXPECT_EQ(la->wMajorVerNum, 2);
  EXPECT_EQ(la->wMinorVerNum, 5);
  EXPECT_EQ(la->wLibFlags, LIBFLAG_FCONTROL);
  lib->ReleaseTLibAttr(la);

  BSTR name = nullptr, doc = nullptr, file = nullptr;
  ASSERT_EQ(lib->GetDocumentation(-1, &name, &doc, nullptr, &file), S_OK);
  EXPECT_EQ(Narrow(name), "SampleLib");
  EXPECT_EQ(Narrow(doc), "Sample library");
  EXPECT_EQ(Narrow(file), "sample.hlp");
  SysFreeString(name);
  SysFreeString(doc);
  SysFreeString(file);
  EXPECT_EQ(lib->GetTypeInfoCount(), 4u);
  EXPECT_EQ(lib->GetDocumentation(4, nullptr, nullptr, nullptr, nullptr), TYPE_E_ELEMENTNOTFOUND);

  ComPtr<ITypeInfo> dispatch;
  ASSERT_EQ(lib->GetTypeInfoOfGuid(vorn_test::kSampleDispatchId, dispatch.Put()), S_OK);
  TYPEATTR* ta = nullptr;
  ASSERT_EQ(dispatch->GetTypeAttr(&ta), S_OK);
  EXPECT_EQ(ta->typekind, TKIND_DISPATCH);
  EXPECT_EQ(ta->cFuncs, 3);
  EXPECT_EQ(ta->wTypeFlags, TYPEFLAG_FHIDDEN);
  dispatch->ReleaseTypeAttr(ta);

  FUNCDESC* fd = nullptr;
  ASSERT_EQ(dispatch->GetFuncDesc(0, &fd), S_OK);
  EXPECT_EQ(fd->memid, 2);
  EXPECT_EQ(fd->cParams, 2);
  EXPECT_EQ(fd->elemdescFunc.tdesc.vt, VT_I4);
  EXPECT_EQ(fd->lprgelemdescParam[1].tdesc.vt, VT_I4);
  dispatch->ReleaseFuncDesc(fd);
  EXPECT_EQ(dispatch->GetFuncDesc(3, &fd), TYPE_E_ELEMENTNOTFOUND);

  BSTR names[4] = {};
  UINT count = 0;
  ASSERT_EQ(dispatch->GetNames(2, names, 4, &count), S_OK);
  ASSERT_EQ(count, 3u);
  EXPECT_EQ(Narrow(names[0]), "Add");
  EXPECT_EQ(Narrow(names[2]), "Right");
  for (UINT i = 0; i < count; ++i) SysFreeString(names[i]);

  std::u16string member = u"aDD", param = u"RIGHT", unknown = u"Nope";
  LPOLESTR query[] = {member.data(), param.data()};
  MEMBERID ids[2];
  ASSERT_EQ(dispatch->GetIDsOfNames(query, 2, ids), S_OK);
  EXPECT_EQ(ids[0], 2);
  EXPECT_EQ(ids[1], 1);
  query[0] = unknown.data();
  EXPECT_EQ(dispatch->GetIDsOfNames(query, 1, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], MEMBERID_NIL);
}

TEST(TypeLib, CoclassNamesItsDefaultAndSourceInterfaces) {
  ComPtr<ITypeLib> lib = Load(SampleTypeLib());
  ASSERT_TRUE(lib);
  ComPtr<ITypeInfo> coclass;
  ASSERT_EQ(lib->GetTypeInfoOfGuid(vorn_test::kSampleClassId, coclass.Put()), S_OK);
  INT flags = 0;
  HREFTYPE ref = 0;
  ASSERT_EQ(coclass->GetImplTypeFlags(1, &flags), S_OK);
  EXPECT_EQ(flags, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE);
  ASSERT_EQ(coclass->GetRefTypeOfImplType(1, &ref), S_OK);
  ComPtr<ITypeInfo> events;
  ASSERT_EQ(coclass->GetRefTypeInfo(ref, events.Put()), S_OK);
  TYPEATTR* ta = nullptr;
  ASSERT_EQ(events->GetTypeAttr(&ta), S_OK);
  EXPECT_EQ(ta->guid, vorn_test::kSampleEventsId);
  events->ReleaseTypeAttr(ta);

  // The event's coordinate is an alias of a 32-bit integer.
  FUNCDESC* fd = nullptr;
  ASSERT_EQ(events->GetFuncDesc(0, &fd), S_OK);
  ASSERT_EQ(fd->lprgelemdescParam[1].tdesc.vt, VT_USERDEFINED);
  ComPtr<ITypeInfo> alias;
  ASSERT_EQ(events->GetRefTypeInfo(fd->lprgelemdescParam[1].tdesc.hreftype, alias.Put()), S_OK);
  events->ReleaseFuncDesc(fd);
  ASSERT_EQ(alias->GetTypeAttr(&ta), S_OK);
  EXPECT_EQ(ta->typekind, TKIND_ALIAS);
  EXPECT_EQ(ta->tdescAlias.vt, VT_I4);
  alias->ReleaseTypeAttr(ta);
  EXPECT_EQ(coclass->GetRefTypeOfImplType(2, &ref), TYPE_E_ELEMENTNOTFOUND);

  // A type keeps its library alive.
  ComPtr<ITypeInfo> kept = coclass;
  coclass = nullptr;
  lib = nullptr;
  ComPtr<ITypeLib> owner;
  UINT index = 99;
  ASSERT_EQ(kept->GetContainingTypeLib(owner.Put(), &index), S_OK);
  EXPECT_EQ(index, 3u);
  EXPECT_EQ(owner->GetTypeInfoCount(), 4u);
}

TEST(TypeLib, RefusesTruncatedCorruptAndForeignData) {
  const std::vector<BYTE> good = SampleTypeLib();
  // Every prefix is refused.
  for (size_t n = 0; n < good.size(); ++n) {
    std::vector<BYTE> cut(good.begin(), good.begin() + static_cast<long>(n));
    HRESULT hr = S_OK;
    EXPECT_FALSE(Load(cut, &hr)) << n;
    EXPECT_TRUE(FAILED(hr)) << n;
  }
  // Every changed byte of the body is caught by the checksum.
  for (size_t i = 16; i < good.size(); ++i) {
    std::vector<BYTE> bad = good;
    bad[i] ^= 0x5A;
    HRESULT hr = S_OK;
    EXPECT_FALSE(Load(bad, &hr)) << i;
    EXPECT_EQ(hr, TYPE_E_INVDATAREAD) << i;
  }
  struct Case {
    const char* what;
    std::vector<BYTE> data;
    HRESULT hr;
  };
  std::vector<BYTE> foreign = good;
  std::memcpy(foreign.data(), "MSFT", 4);
  std::vector<BYTE> newer = good;
  newer[4] = 2;
  std::vector<BYTE> trailing = good;
  trailing.push_back(0);
  std::vector<BYTE> trailingCounted = trailing;
  const uint32_t size = static_cast<uint32_t>(trailingCounted.size() - 16);
  std::memcpy(trailingCounted.data() + 8, &size, 4);
  Rewrite(&trailingCounted);
  std::vector<BYTE> laterMinor = trailingCounted;
  laterMinor[6] = 1;
  std::vector<BYTE> badRef = SampleTypeLib(/*badRef=*/true);
  const Case cases[] = {
      {"another magic", foreign, TYPE_E_INVDATAREAD},
      {"a newer major version", newer, TYPE_E_UNSUPFORMAT},
      {"bytes past the stated size", trailing, TYPE_E_INVDATAREAD},
      {"unread bytes in version 1.0", trailingCounted, TYPE_E_INVDATAREAD},
      {"a reference to no type", badRef, TYPE_E_INVDATAREAD},
      {"appended fields of a later minor version", laterMinor, S_OK},
  };
  for (const Case& c : cases) {
    HRESULT hr = E_FAIL;
    ComPtr<ITypeLib> lib = Load(c.data, &hr);
    EXPECT_EQ(hr, c.hr) << c.what;
    EXPECT_EQ(static_cast<bool>(lib), SUCCEEDED(c.hr)) << c.what;
  }
}

TEST(TypeLib, LoadsFromFilesAndLibraryResources) {
  vorn_test::TempRoot root;
  const std::string file = root.path() + "/sample.tlb";
  const std::vector<BYTE> bytes = SampleTypeLib();
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  const std::string module = vorn_test::BinDir() + "/typelib_test_module.so";
  struct Case {
    std::string path;
    HRESULT hr;
  };
  const Case cases[] = {
      {file, S_OK},
      {module, S_OK},
      {module + "\\1", S_OK},
      {module + "\\2", TYPE_E_CANTLOADLIBRARY},  // no such resource
      {root.path() + "/missing.tlb", TYPE_E_CANTLOADLIBRARY},
      {root.path(), TYPE_E_CANTLOADLIBRARY},     // a folder
  };
  for (const Case& c : cases) {
    ComPtr<ITypeLib> lib;
    const std::u16string wide = Wide(c.path);
    EXPECT_EQ(LoadTypeLib(wide.c_str(), lib.Put()), c.hr) << c.path;
    if (SUCCEEDED(c.hr)) {
      ASSERT_TRUE(lib);
      EXPECT_EQ(lib->GetTypeInfoCount(), 4u);
    }
  }
  // The library's own string resource is found by its module handle while
  // it is loaded, and not after.
  HMODULE handle = LoadLibraryA(module.c_str());
  ASSERT_NE(handle, nullptr);
  char text[64];
  EXPECT_EQ(LoadStringA(handle, 7, text, sizeof text), 21);
  EXPECT_STREQ(text, "Gr\xC3\xBC\xC3\x9F" "e aus dem Modul");
  EXPECT_EQ(LoadStringA(handle, 7, text, 4), 2);  // never half a character
  EXPECT_STREQ(text, "Gr");
  EXPECT_EQ(LoadStringA(handle, 8, text, sizeof text), 0);
  HRSRC found = FindResourceA(handle, MAKEINTRESOURCEA(1), "typelib");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(SizeofResource(handle, found), bytes.size());
  EXPECT_EQ(SizeofResource(nullptr, found), 0u);
  FreeLibrary(handle);
}

std::string Value(const std::string& path, const char* name = "") {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return "<missing>";
  }
  char data[512] = {};
  DWORD size = sizeof data;
  DWORD type = 0;
  const LSTATUS status =
      RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
  RegCloseKey(key);
  return status == ERROR_SUCCESS ? std::string(data) : "<no value>";
}

TEST(TypeLib, RegistersAndUnregistersItsKeys) {
  vorn_test::TempRoot root;
  const std::string module = vorn_test::BinDir() + "/typelib_test_module.so";
  const std::u16string wide = Wide(module);
  ComPtr<ITypeLib> lib;
  ASSERT_EQ(LoadTypeLib(wide.c_str(), lib.Put()), S_OK);
  ASSERT_EQ(RegisterTypeLib(lib.Get(), wide.c_str(), nullptr), S_OK);

  const std::string platform = sizeof(void*) == 8 ? "win64" : "win32";
  const std::string version = "TypeLib\\{6C1B2E3A-0D1E-4F55-9A0B-1C2D3E4F5A6B}\\2.5";
  EXPECT_EQ(Value(version), "Sample library");
  EXPECT_EQ(Value(version + "\\409\\" + platform), module);
  EXPECT_EQ(Value(version + "\\FLAGS"), "2");
  EXPECT_EQ(Value(version + "\\HELPDIR"), vorn_test::BinDir());
  const std::string iface = "Interface\\{6C1B2E3A-0D1E-4F55-9A0B-1C2D3E4F5A6C}";
  EXPECT_EQ(Value(iface), "_DSample");
  EXPECT_EQ(Value(iface + "\\TypeLib"), "{6C1B2E3A-0D1E-4F55-9A0B-1C2D3E4F5A6B}");
  EXPECT_EQ(Value(iface + "\\TypeLib", "Version"), "2.5");
  EXPECT_EQ(Value("Interface\\{6C1B2E3A-0D1E-4F55-9A0B-1C2D3E4F5A6D}"), "_DSampleEvents");

  ComPtr<ITypeLib> registered;
  ASSERT_EQ(LoadRegTypeLib(vorn_test::kSampleLibId, 2, 5, LOCALE_NEUTRAL, registered.Put()), S_OK);
  EXPECT_EQ(registered->GetTypeInfoCount(), 4u);
  EXPECT_EQ(LoadRegTypeLib(vorn_test::kSampleLibId, 1, 0, 0, registered.Put()),
            TYPE_E_LIBNOTREGISTERED);

  const SYSKIND sys = sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32;
  ASSERT_EQ(UnRegisterTypeLib(vorn_test::kSampleLibId, 2, 5, LOCALE_NEUTRAL, sys), S_OK);
  EXPECT_EQ(Value("TypeLib\\{6C1B2E3A-0D1E-4F55-9A0B-1C2D3E4F5A6B}"), "<missing>");
  EXPECT_EQ(Value(iface), "<missing>");
  EXPECT_EQ(Value("Interface\\{6C1B2E3A-0D1E-4F55-9A0B-1C2D3E4F5A6D}"), "<missing>");
  EXPECT_EQ(UnRegisterTypeLib(vorn_test::kSampleLibId, 2, 5, LOCALE_NEUTRAL, sys),
            TYPE_E_REGISTRYACCESS);
}

}  // namespace
