#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "control/identifiers.h"
#include "control/resources.h"
#include "control/vornoutlookexpressppg.h"
#include "platform/dialog.h"
#include "platform/runtime.h"
#include "runtime/unknown_impl.h"
#include "tests/control/control_test_support.h"
#include "tests/fakes/class_factory.h"

namespace {

using namespace control_test;

std::string State(DWORD version, LONG cx, LONG cy) {
  std::string bytes(12, '\0');
  std::memcpy(&bytes[0], &version, 4);
  std::memcpy(&bytes[4], &cx, 4);
  std::memcpy(&bytes[8], &cy, 4);
  return bytes;
}

SIZEL Extent(IPersistStreamInit* persist) {
  ComPtr<IOleObject> object;
  ComPtr<IPersistStreamInit>(persist).As(&object);
  SIZEL size{-1, -1};
  object->GetExtent(DVASPECT_CONTENT, &size);
  return size;
}

TEST(Persistence, SavesAndLoadsTheVersionStampAndExtent) {
  ComPtr<IDispatch> control = NewControl();
  ComPtr<IPersistStreamInit> persist;
  ASSERT_EQ(control.As(&persist), S_OK);
  ComPtr<IOleObject> object;
  ASSERT_EQ(control.As(&object), S_OK);
  EXPECT_EQ(persist->IsDirty(), S_FALSE);
  SIZEL size{1234, 567};
  ASSERT_EQ(object->SetExtent(DVASPECT_CONTENT, &size), S_OK);
  EXPECT_EQ(persist->IsDirty(), S_OK);
  ComPtr<MemoryStream> stream = MemoryStream::Make();
  ASSERT_EQ(persist->Save(stream.Get(), TRUE), S_OK);
  EXPECT_EQ(persist->IsDirty(), S_FALSE);
  EXPECT_EQ(stream->bytes, State(0x00010000, 1234, 567));
  ULARGE_INTEGER max{};
  ASSERT_EQ(persist->GetSizeMax(&max), S_OK);
  EXPECT_EQ(max.QuadPart, stream->bytes.size());

  ComPtr<IDispatch> other = NewControl();
  ComPtr<IPersistStreamInit> otherPersist;
  ASSERT_EQ(other.As(&otherPersist), S_OK);
  stream->position = 0;
  ASSERT_EQ(otherPersist->Load(stream.Get()), S_OK);
  EXPECT_EQ(Extent(otherPersist.Get()).cx, 1234);
  EXPECT_EQ(Extent(otherPersist.Get()).cy, 567);
  ASSERT_EQ(otherPersist->InitNew(), S_OK);
  EXPECT_EQ(Extent(otherPersist.Get()).cx, kDefaultExtentX);
  CLSID clsid{};
  ASSERT_EQ(otherPersist->GetClassID(&clsid), S_OK);
  EXPECT_EQ(clsid, CLSID_VornOutlookExpress);
}

TEST(Persistence, RefusedStreamsLeaveTheControlAsItWas) {
  struct Case {
    const char* what;
    std::string bytes;
    HRESULT hr;
    LONG cx;
  };
  const std::string good = State(0x00010000, 300, 400);
  std::vector<Case> cases = {
      {"this version", good, S_OK, 300},
      {"an older version", State(0x00000001, 301, 401), S_OK, 301},
      {"a newer version", State(0x00020000, 302, 402), E_FAIL, 100},
      {"a zero version", State(0, 303, 403), E_FAIL, 100},
      {"a negative extent", State(0x00010000, -5, 403), E_FAIL, 100},
      {"an absurd extent", State(0x00010000, 5, 0x7FFFFFFF), E_FAIL, 100},
  };
  for (size_t n = 0; n < good.size(); ++n) {
    cases.push_back({"truncated", good.substr(0, n), STG_E_READFAULT, 100});
  }
  for (const Case& c : cases) {
    ComPtr<IDispatch> control = NewControl();
    ComPtr<IPersistStreamInit> persist;
    ComPtr<IOleObject> object;
    ASSERT_EQ(control.As(&persist), S_OK);
    ASSERT_EQ(control.As(&object), S_OK);
    SIZEL size{100, 200};
    object->SetExtent(DVASPECT_CONTENT, &size);
    ComPtr<MemoryStream> stream = MemoryStream::Make(c.bytes);
    EXPECT_EQ(persist->Load(stream.Get()), c.hr) << c.what << " " << c.bytes.size();
    EXPECT_EQ(Extent(persist.Get()).cx, c.cx) << c.what;
    if (FAILED(c.hr)) {
      EXPECT_EQ(persist->IsDirty(), S_OK) << c.what;  // still unsaved
    }
  }
}

TEST(Embedding, ReportsStatusTypeNameVerbsAndPages) {
  ComPtr<IDispatch> control = NewControl();
  ComPtr<IOleObject> object;
  ASSERT_EQ(control.As(&object), S_OK);
  DWORD status = 0;
  ASSERT_EQ(object->GetMiscStatus(DVASPECT_CONTENT, &status), S_OK);
  EXPECT_EQ(status, 0x20191u);
  LPOLESTR name = nullptr;
  ASSERT_EQ(object->GetUserType(USERCLASSTYPE_FULL, &name), S_OK);
  BSTR copy = SysAllocString(name);
  EXPECT_EQ(Utf8(copy), "VornOutlookExpress Control");
  SysFreeString(copy);
  CoTaskMemFree(name);
  CLSID clsid{};
  ASSERT_EQ(object->GetUserClassID(&clsid), S_OK);
  EXPECT_EQ(clsid, CLSID_VornOutlookExpress);

  ComPtr<IEnumOLEVERB> verbs;
  ASSERT_EQ(object->EnumVerbs(verbs.Put()), S_OK);
  OLEVERB found[3] = {};
  ULONG fetched = 0;
  EXPECT_EQ(verbs->Next(3, found, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 2u);
  EXPECT_EQ(found[0].lVerb, OLEIVERB_PRIMARY);
  EXPECT_EQ(found[1].lVerb, OLEIVERB_PROPERTIES);
  for (ULONG i = 0; i < fetched; ++i) {
    BSTR verbName = SysAllocString(found[i].lpszVerbName);
    EXPECT_EQ(Utf8(verbName), i == 0 ? "&Edit" : "&Properties...");
    SysFreeString(verbName);
    CoTaskMemFree(found[i].lpszVerbName);
  }
  EXPECT_EQ(object->DoVerb(OLEIVERB_HIDE, nullptr), OLEOBJ_S_INVALIDVERB);

  ComPtr<ISpecifyPropertyPages> pages;
  ASSERT_EQ(control.As(&pages), S_OK);
  CAUUID list{};
  ASSERT_EQ(pages->GetPages(&list), S_OK);
  ASSERT_EQ(list.cElems, 1u);
  EXPECT_EQ(list.pElems[0], CLSID_VornOutlookExpressPropPage);
  CoTaskMemFree(list.pElems);
}

// A class factory for the property page, as the module registers it.
class PageFactory final : public IClassFactory {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return QueryInterfaceAs<IClassFactory>(this, riid, ppv);
  }
  ULONG AddRef() override { return 2; }
  ULONG Release() override { return 1; }
  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    ++created;
    return CVornOutlookExpressPropPage::Create(outer, riid, ppv);
  }
  HRESULT LockServer(BOOL) override { return S_OK; }
  int created = 0;
};

TEST(Embedding, PropertiesVerbShowsThePageAndEditActivates) {
  NoTerminalInput quiet;
  CoInitialize(nullptr);
  PageFactory factory;
  vorn_fakes::ClassRegistration registration(CLSID_VornOutlookExpressPropPage, &factory);
  ComPtr<IDispatch> control = NewControl();
  ComPtr<IOleObject> object;
  ASSERT_EQ(control.As(&object), S_OK);
  EXPECT_EQ(object->DoVerb(OLEIVERB_PROPERTIES, nullptr), S_OK);
  EXPECT_EQ(factory.created, 1);
  ASSERT_EQ(object->DoVerb(OLEIVERB_PRIMARY, nullptr), S_OK);

  ComPtr<IPropertyPage> page;
  ASSERT_EQ(CVornOutlookExpressPropPage::Create(nullptr, IID_IPropertyPage, page.PutVoid()), S_OK);
  PROPPAGEINFO info{};
  ASSERT_EQ(page->GetPageInfo(&info), S_OK);
  BSTR title = SysAllocString(info.pszTitle);
  EXPECT_EQ(Utf8(title), "General");
  SysFreeString(title);
  CoTaskMemFree(info.pszTitle);
  EXPECT_EQ(info.size.cx, 500);  // 250 x 62 dialog units
  EXPECT_EQ(info.size.cy, 124);
  EXPECT_EQ(page->IsPageDirty(), S_FALSE);
  EXPECT_EQ(page->Apply(), S_OK);
}

TEST(Dialogs, AboutBoxReturnsAtOnceWithoutATerminal) {
  NoTerminalInput quiet;
  ComPtr<IDispatch> control = NewControl();
  const auto start = std::chrono::steady_clock::now();
  CallResult r = CallId(control.Get(), DISPID_ABOUTBOX);
  EXPECT_EQ(r.hr, S_OK);
  EXPECT_EQ(r.value.vt, VT_EMPTY);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(DialogBoxA(ControlResourceModule(), MAKEINTRESOURCEA(99), nullptr), -1);
}

TEST(Dialogs, TerminalTextHoldsTheTextsAtTheirPlaces) {
  char text[4096];
  ASSERT_GT(VornFormatDialogText(ControlResourceModule(),
                                 MAKEINTRESOURCEA(IDD_ABOUTBOX_VORNOUTLOOKEXPRESS), text,
                                 sizeof text),
            0);
  const std::string about = text;
  // 65 columns, 7 rows: the caption in the top border, the version line at
  // row 1 (after the border) column 10, the OK button on row 0.
  EXPECT_EQ(about.substr(0, 47), "+- About Vorn Outlook Express ActiveX Control -");
  const size_t line1 = about.find('\n') + 1;
  const std::string row0 = about.substr(line1, about.find('\n', line1) - line1);
  EXPECT_EQ(row0.size(), 67u);
  EXPECT_NE(row0.find("<OK>"), std::string::npos);
  const size_t line2 = about.find('\n', line1) + 1;
  const std::string row1 = about.substr(line2, about.find('\n', line2) - line2);
  EXPECT_EQ(row1.find("Vorn Outlook Express ActiveX Control, Version 1.0"), 11u);
  ASSERT_GT(VornFormatDialogText(ControlResourceModule(),
                                 MAKEINTRESOURCEA(IDD_PROPPAGE_VORNOUTLOOKEXPRESS), text,
                                 sizeof text),
            0);
  const std::string page = text;
  // Two centred lines within the text's 55 columns.
  EXPECT_NE(page.find("|   All Properties of Vorn Outlook Express ActiveX Control"),
            std::string::npos);
  EXPECT_NE(page.find("show on the Appliction Properties Window!"), std::string::npos);
}

}  // namespace
