#include <gtest/gtest.h>

#include <set>
#include <string>

#include "control/dispatch_table.h"
#include "control/identifiers.h"
#include "platform/codepage.h"
#include "platform/typelib.h"
#include "tests/control/control_test_support.h"

namespace {

using namespace control_test;

std::string Name(ITypeInfo* info, MEMBERID memid, UINT index = 0) {
  BSTR names[8] = {};
  UINT count = 0;
  if (FAILED(info->GetNames(memid, names, 8, &count)) || index >= count) return "<none>";
  std::string result = Utf8(names[index]);
  for (UINT i = 0; i < count; ++i) SysFreeString(names[i]);
  return result;
}

// The members the host can call and the type information it reads cannot
// drift apart: both come from the table, and both are checked against it
// member for member.
TEST(Dispatch, TypeInformationAgreesWithWhatInvokeAccepts) {
  ComPtr<IDispatch> control = NewControl();
  ASSERT_TRUE(control);
  UINT count = 0;
  ASSERT_EQ(control->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  ComPtr<ITypeInfo> info;
  ASSERT_EQ(control->GetTypeInfo(0, 0, info.Put()), S_OK);
  EXPECT_EQ(control->GetTypeInfo(1, 0, info.Put()), DISP_E_BADINDEX);
  ASSERT_EQ(control->GetTypeInfo(0, 0, info.Put()), S_OK);
  TYPEATTR* ta = nullptr;
  ASSERT_EQ(info->GetTypeAttr(&ta), S_OK);
  EXPECT_EQ(ta->guid, DIID__DVornOutlookExpress);
  EXPECT_TRUE(ta->wTypeFlags & TYPEFLAG_FHIDDEN);
  ASSERT_EQ(ta->cFuncs, 38);
  info->ReleaseTypeAttr(ta);

  std::set<DISPID> seen;
  for (UINT f = 0; f < 38; ++f) {
    FUNCDESC* fd = nullptr;
    ASSERT_EQ(info->GetFuncDesc(f, &fd), S_OK);
    const DispatchMember* m = FindDispatchMember(fd->memid);
    ASSERT_NE(m, nullptr) << fd->memid;
    seen.insert(fd->memid);
    EXPECT_EQ(Name(info.Get(), fd->memid), m->name);
    EXPECT_EQ(fd->elemdescFunc.tdesc.vt, m->result.vt) << m->name;
    ASSERT_EQ(fd->cParams, static_cast<SHORT>(m->paramCount)) << m->name;
    for (UINT p = 0; p < m->paramCount; ++p) {
      EXPECT_EQ(fd->lprgelemdescParam[p].tdesc.vt, m->params[p].type.vt) << m->name;
      EXPECT_EQ(Name(info.Get(), fd->memid, p + 1), m->params[p].name) << m->name;
    }
    info->ReleaseFuncDesc(fd);

    // Invoke agrees: the name maps to this DISPID whatever its case, one
    // argument too many is refused, and the right count is accepted.
    std::string lower = m->name;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    BSTR wide = VornSysAllocStringA(lower.c_str(), -1);
    DISPID id = 0;
    EXPECT_EQ(control->GetIDsOfNames(IID_NULL, &wide, 1, 0, &id), S_OK);
    SysFreeString(wide);
    EXPECT_EQ(id, m->dispid);
    std::vector<VARIANT> tooMany(m->paramCount + 1, Long(0));
    EXPECT_EQ(CallId(control.Get(), m->dispid, tooMany).hr, DISP_E_BADPARAMCOUNT) << m->name;
  }
  // DISPIDs 2 to 38 and the About box; 1 is nobody's.
  EXPECT_EQ(seen.size(), 38u);
  EXPECT_EQ(seen.count(1), 0u);
  EXPECT_EQ(*seen.begin(), DISPID_ABOUTBOX);
  EXPECT_EQ(*seen.rbegin(), 38);
  EXPECT_EQ(CallId(control.Get(), 1).hr, DISP_E_MEMBERNOTFOUND);
}

TEST(Dispatch, ClassInfoNamesTheDefaultAndEventInterfaces) {
  ComPtr<IDispatch> control = NewControl();
  ComPtr<IProvideClassInfo> provider;
  ASSERT_EQ(control.As(&provider), S_OK);
  ComPtr<ITypeInfo> coclass;
  ASSERT_EQ(provider->GetClassInfo(coclass.Put()), S_OK);
  TYPEATTR* ta = nullptr;
  ASSERT_EQ(coclass->GetTypeAttr(&ta), S_OK);
  EXPECT_EQ(ta->guid, CLSID_VornOutlookExpress);
  EXPECT_EQ(ta->wTypeFlags & (TYPEFLAG_FCANCREATE | TYPEFLAG_FCONTROL),
            TYPEFLAG_FCANCREATE | TYPEFLAG_FCONTROL);
  ASSERT_EQ(ta->cImplTypes, 2);
  coclass->ReleaseTypeAttr(ta);
  const GUID expected[] = {DIID__DVornOutlookExpress, DIID__DVornOutlookExpressEvents};
  const INT flags[] = {IMPLTYPEFLAG_FDEFAULT, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE};
  for (UINT i = 0; i < 2; ++i) {
    INT f = 0;
    HREFTYPE ref = 0;
    ASSERT_EQ(coclass->GetImplTypeFlags(i, &f), S_OK);
    EXPECT_EQ(f, flags[i]);
    ASSERT_EQ(coclass->GetRefTypeOfImplType(i, &ref), S_OK);
    ComPtr<ITypeInfo> iface;
    ASSERT_EQ(coclass->GetRefTypeInfo(ref, iface.Put()), S_OK);
    ASSERT_EQ(iface->GetTypeAttr(&ta), S_OK);
    EXPECT_EQ(ta->guid, expected[i]);
    iface->ReleaseTypeAttr(ta);
  }
  // Every event with its DISPID, its parameters, and the coordinate aliases.
  HREFTYPE ref = 0;
  ASSERT_EQ(coclass->GetRefTypeOfImplType(1, &ref), S_OK);
  ComPtr<ITypeInfo> events;
  ASSERT_EQ(coclass->GetRefTypeInfo(ref, events.Put()), S_OK);
  for (size_t i = 0; i < EventMembers().size(); ++i) {
    const EventMember& e = EventMembers()[i];
    FUNCDESC* fd = nullptr;
    ASSERT_EQ(events->GetFuncDesc(static_cast<UINT>(i), &fd), S_OK);
    EXPECT_EQ(fd->memid, e.dispid);
    EXPECT_EQ(Name(events.Get(), fd->memid), e.name);
    ASSERT_EQ(fd->cParams, static_cast<SHORT>(e.paramCount));
    if (e.paramCount == 4) {
      EXPECT_EQ(fd->lprgelemdescParam[1].tdesc.vt, VT_I2);
      ASSERT_EQ(fd->lprgelemdescParam[2].tdesc.vt, VT_USERDEFINED);
      ComPtr<ITypeInfo> alias;
      ASSERT_EQ(events->GetRefTypeInfo(fd->lprgelemdescParam[2].tdesc.hreftype, alias.Put()),
                S_OK);
      BSTR aliasName = nullptr;
      ASSERT_EQ(alias->GetDocumentation(MEMBERID_NIL, &aliasName, nullptr, nullptr, nullptr),
                S_OK);
      EXPECT_EQ(Utf8(aliasName), "OLE_XPOS_PIXELS");
      SysFreeString(aliasName);
    }
    events->ReleaseFuncDesc(fd);
  }
}

TEST(Dispatch, EveryMemberAnswersWithItsResultType) {
  FakeSession session;
  ComPtr<IDispatch> control = NewControl();
  NoTerminalInput quiet;
  CallResult init = Call(control.Get(), "InitControl");
  ASSERT_EQ(init.hr, S_OK);
  EXPECT_EQ(init.value.vt, VT_BOOL);
  EXPECT_EQ(init.value.boolVal, VARIANT_TRUE);  // no address book: still TRUE
  for (const DispatchMember& m : DispatchMembers()) {
    std::vector<VARIANT> args;
    for (UINT p = 0; p < m.paramCount; ++p) {
      args.push_back(m.params[p].type.vt == VT_BSTR ? Text("x") : Long(0));
    }
    CallResult r = CallId(control.Get(), m.dispid, std::move(args));
    ASSERT_EQ(r.hr, S_OK) << m.name << " argument " << r.argError;
    const VARTYPE expected = m.result.vt == VT_VOID ? VT_EMPTY : m.result.vt;
    EXPECT_EQ(r.value.vt, expected) << m.name;
    if (expected == VT_BSTR) {
      EXPECT_NE(r.value.bstrVal, nullptr) << m.name;
    }
    if (expected == VT_BOOL) {
      EXPECT_TRUE(r.value.boolVal == VARIANT_TRUE || r.value.boolVal == VARIANT_FALSE) << m.name;
    }
  }
}

TEST(Dispatch, ForwardsFlagsAndConvertsResults) {
  FakeSession session;
  const STOREFOLDERID inbox = *session.store.FindFolder(FOLDERID_ROOT, "Inbox");
  const STOREFOLDERID sent = *session.store.FindFolder(FOLDERID_ROOT, "Sent Items");
  vorn_fakes::FakeMessage& m = session.store.AddMessage(inbox);
  m.subject = "Hello";
  m.raw = "Subject: Hello\r\n\r\nBody";
  const MESSAGEID id = m.id;
  ComPtr<IDispatch> control = NewControl();
  ASSERT_EQ(Call(control.Get(), "InitControl").value.boolVal, VARIANT_TRUE);

  // The folder list: the type of the first folder (Inbox) as a 16-bit value;
  // -1 gives an empty, non-null string.
  CallResult type = Call(control.Get(), "GetFolderType", {Long(0)});
  EXPECT_EQ(type.value.vt, VT_I2);
  EXPECT_EQ(type.value.iVal, 1);
  CallResult none = Call(control.Get(), "GetFolderName", {Long(-1)});
  ASSERT_EQ(none.value.vt, VT_BSTR);
  ASSERT_NE(none.value.bstrVal, nullptr);
  EXPECT_EQ(SysStringLen(none.value.bstrVal), 0u);
  CallResult missing = Call(control.Get(), "GetFolderId", {Long(999)});
  EXPECT_EQ(missing.value.lVal, -1);

  ASSERT_EQ(Call(control.Get(), "SetFolder", {Long(static_cast<LONG>(inbox))}).value.boolVal,
            VARIANT_TRUE);
  EXPECT_EQ(Utf8(Call(control.Get(), "GetMessageSubject", {Long(0)}).value.bstrVal), "Hello");

  struct Case {
    const char* method;
    const char* storeCall;
    const char* arg;
    uint64_t value;
  };
  const Case cases[] = {
      {"MarkMessagesAsRead", "MarkMessagesAsRead", "read", 1},
      {"MarkMessagesAsUnRead", "MarkMessagesAsRead", "read", 0},
      {"CopyMessage", "CopyMoveMessages", "flags", 0},
      {"MoveMessage", "CopyMoveMessages", "flags", CMF_MOVE},
  };
  for (const Case& c : cases) {
    std::vector<VARIANT> args{Long(static_cast<LONG>(id))};
    if (std::string(c.storeCall) == "CopyMoveMessages") args.push_back(Long(static_cast<LONG>(sent)));
    CallResult r = Call(control.Get(), c.method, std::move(args));
    ASSERT_EQ(r.hr, S_OK) << c.method;
    EXPECT_EQ(r.value.vt, VT_BOOL) << c.method;
    EXPECT_EQ(r.value.boolVal, VARIANT_TRUE) << c.method;
    EXPECT_EQ(session.env.log.Last(c.storeCall).Num(c.arg), c.value) << c.method;
  }
  // Failures are FALSE, never an error.
  CallResult refused = Call(control.Get(), "RemoveMessage", {Long(424242)});
  EXPECT_EQ(refused.hr, S_OK);
  EXPECT_EQ(refused.value.boolVal, VARIANT_FALSE);
}

TEST(Dispatch, NonAsciiTextRoundTripsThroughTheStore) {
  FakeSession session;
  ComPtr<IDispatch> control = NewControl();
  ASSERT_EQ(Call(control.Get(), "InitControl").value.boolVal, VARIANT_TRUE);
  const std::string name = "Gr\xC3\xBC\xC3\x9F" "e \xF0\x9F\x93\xA8 \xE6\x97\xA5\xE6\x9C\xAC";
  CallResult created = Call(control.Get(), "CreateFolder", {Long(0), Text(name)});
  ASSERT_EQ(created.value.boolVal, VARIANT_TRUE);
  EXPECT_EQ(session.env.log.Last("CreateFolder").Str("name"), name);  // UTF-8 at the store
  const LONG count = Call(control.Get(), "GetFolderCount").value.lVal;
  bool found = false;
  for (LONG i = 0; i < count; ++i) {
    CallResult n = Call(control.Get(), "GetFolderName", {Long(i)});
    if (Utf8(n.value.bstrVal) == name) {
      found = true;
      EXPECT_EQ(SysStringLen(n.value.bstrVal), 11u);  // the pair counts two units
    }
  }
  EXPECT_TRUE(found);
}

// A folder name that UTF-8 text cannot carry as given would reach the store
// cut at its NUL, or with U+FFFD in place of a lone surrogate (so that two
// different names collide): it is refused before the store is asked.
TEST(Dispatch, FolderNamesUtf8CannotCarryAreRefusedAtConversion) {
  FakeSession session;
  ComPtr<IDispatch> control = NewControl();
  ASSERT_EQ(Call(control.Get(), "InitControl").value.boolVal, VARIANT_TRUE);
  const LONG folders = Call(control.Get(), "GetFolderCount").value.lVal;
  const LONG inbox = Call(control.Get(), "GetFolderId", {Long(0)}).value.lVal;
  auto wide = [](std::u16string units) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocStringLen(units.data(), static_cast<UINT>(units.size()));
    return v;
  };
  for (const std::u16string& name :
       {std::u16string(u"nul\0x", 5), std::u16string(u"a\xD800"), std::u16string(u"\xDC00!")}) {
    EXPECT_EQ(Call(control.Get(), "CreateFolder", {Long(0), wide(name)}).value.boolVal,
              VARIANT_FALSE);
    EXPECT_EQ(Call(control.Get(), "RenameFolder", {Long(inbox), wide(name)}).value.boolVal,
              VARIANT_FALSE);
  }
  EXPECT_EQ(session.env.log.Count("CreateFolder") + session.env.log.Count("RenameFolder"), 0);
  EXPECT_EQ(Call(control.Get(), "GetFolderCount").value.lVal, folders);
  // A NUL in a header value of a new message comes back as false as well.
  EXPECT_EQ(Call(control.Get(), "CreateMessage",
                 {Long(inbox), wide(std::u16string(u"a\0b", 3)), Text("t"), Text("s"), Text("c")})
                .value.boolVal,
            VARIANT_FALSE);
  EXPECT_EQ(session.env.log.Count("CreateStream"), 0);
}

// A stored text that is not UTF-8 comes back one character a byte (read as
// Windows-1252), so that converting the string back gives the same bytes;
// UTF-8 text comes back as the characters it spells.
TEST(Dispatch, MessageContentKeepsEveryByte) {
  std::string latin = "Subject: Caf\xE9\r\n\r\n";  // then every byte but NUL
  for (int b = 1; b < 256; ++b) latin.push_back(static_cast<char>(b));
  const std::string utf8 = "Subject: Caf\xC3\xA9\r\n\r\n\xE2\x82\xAC";
  FakeSession session;
  const STOREFOLDERID inbox = *session.store.FindFolder(FOLDERID_ROOT, "Inbox");
  vorn_fakes::FakeMessage& first = session.store.AddMessage(inbox);
  first.raw = latin;
  const MESSAGEID latinId = first.id;
  vorn_fakes::FakeMessage& second = session.store.AddMessage(inbox);
  second.raw = utf8;
  const MESSAGEID utf8Id = second.id;
  ComPtr<IDispatch> control = NewControl();
  ASSERT_EQ(Call(control.Get(), "InitControl").value.boolVal, VARIANT_TRUE);
  ASSERT_EQ(Call(control.Get(), "SetFolder", {Long(static_cast<LONG>(inbox))}).value.boolVal,
            VARIANT_TRUE);

  CallResult raw = Call(control.Get(), "GetMessageContent", {Long(static_cast<LONG>(latinId))});
  ASSERT_EQ(raw.value.vt, VT_BSTR);
  BSTR text = raw.value.bstrVal;
  ASSERT_EQ(SysStringLen(text), latin.size());
  EXPECT_EQ(text[12], 0xE9);
  EXPECT_EQ(text[17 + 0x80 - 1], 0x20AC);  // 0x80: the euro sign
  EXPECT_EQ(text[17 + 0x81 - 1], 0x81);    // undefined in Windows-1252: its C1 control
  std::string back(latin.size(), '\0');
  BOOL defaulted = TRUE;
  EXPECT_EQ(WideCharToMultiByte(CP_WINDOWS_1252, 0, text, static_cast<int>(SysStringLen(text)),
                                back.data(), static_cast<int>(back.size()), nullptr, &defaulted),
            static_cast<int>(latin.size()));
  EXPECT_FALSE(defaulted);
  EXPECT_EQ(back, latin);

  CallResult same = Call(control.Get(), "GetMessageContent", {Long(static_cast<LONG>(utf8Id))});
  EXPECT_EQ(Utf8(same.value.bstrVal), utf8);
}

TEST(Dispatch, RefusesBadCallsWithTheirCodes) {
  ComPtr<IDispatch> control = NewControl();
  DISPID id = 0;
  BSTR unknown = VornSysAllocStringA("NoSuchMethod", -1);
  EXPECT_EQ(control->GetIDsOfNames(IID_NULL, &unknown, 1, 0, &id), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(id, DISPID_UNKNOWN);
  SysFreeString(unknown);
  LPOLESTR nullName = nullptr;
  EXPECT_EQ(control->GetIDsOfNames(IID_NULL, &nullName, 1, 0, &id), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(control->GetIDsOfNames(IID_NULL, nullptr, 1, 0, &id), E_INVALIDARG);
  BSTR names[] = {VornSysAllocStringA("createfolder", -1), VornSysAllocStringA("NEWFOLDERNAME", -1),
                  VornSysAllocStringA("Bogus", -1)};
  DISPID ids[3];
  EXPECT_EQ(control->GetIDsOfNames(IID_NULL, names, 3, 0, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], 3);
  EXPECT_EQ(ids[1], 1);
  EXPECT_EQ(ids[2], DISPID_UNKNOWN);
  for (BSTR n : names) SysFreeString(n);

  struct Case {
    const char* what;
    DISPID dispid;
    std::vector<VARIANT> args;
    HRESULT hr;
    UINT argError;
  };
  VARIANT null;
  VariantInit(&null);
  null.vt = VT_NULL;
  std::vector<Case> cases;
  cases.push_back({"too few", 3, {Long(0)}, DISP_E_BADPARAMCOUNT, 0xFFFFFFFF});
  cases.push_back({"word for a long", 3, {Text("seven"), Text("n")}, DISP_E_TYPEMISMATCH, 1});
  cases.push_back({"word for the last long", 5, {Long(1), Text("x")}, DISP_E_TYPEMISMATCH, 0});
  cases.push_back({"null for a long", 8, {null}, DISP_E_TYPEMISMATCH, 0});
  cases.push_back({"number out of range", 8, {Text("1e20")}, DISP_E_TYPEMISMATCH, 0});
  cases.push_back({"numeric text", 8, {Text(" 7 ")}, S_OK, 0xFFFFFFFF});
  cases.push_back({"a number for a string", 10, {Long(5)}, S_OK, 0xFFFFFFFF});
  cases.push_back({"unknown member", 1234, {}, DISP_E_MEMBERNOTFOUND, 0xFFFFFFFF});
  for (Case& c : cases) {
    CallResult r = CallId(control.Get(), c.dispid, c.args);
    EXPECT_EQ(r.hr, c.hr) << c.what;
    EXPECT_EQ(r.argError, c.argError) << c.what;
  }
  // A property write, named arguments, another interface, no parameters.
  EXPECT_EQ(CallId(control.Get(), 7, {}, DISPATCH_PROPERTYPUT).hr, DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(CallId(control.Get(), 7, {}, DISPATCH_PROPERTYGET).hr, S_OK);
  VARIANT arg = Long(0);
  DISPID named = 0;
  DISPPARAMS withNames{&arg, &named, 1, 1};
  EXPECT_EQ(control->Invoke(8, IID_NULL, 0, DISPATCH_METHOD, &withNames, nullptr, nullptr, nullptr),
            DISP_E_NONAMEDARGS);
  DISPPARAMS noArray{nullptr, nullptr, 1, 0};
  EXPECT_EQ(control->Invoke(8, IID_NULL, 0, DISPATCH_METHOD, &noArray, nullptr, nullptr, nullptr),
            E_INVALIDARG);
  EXPECT_EQ(control->Invoke(7, IID_NULL, 0, DISPATCH_METHOD, nullptr, nullptr, nullptr, nullptr),
            E_INVALIDARG);
  DISPPARAMS empty{nullptr, nullptr, 0, 0};
  EXPECT_EQ(control->Invoke(7, IID_IDispatch, 0, DISPATCH_METHOD, &empty, nullptr, nullptr,
                            nullptr),
            DISP_E_UNKNOWNINTERFACE);
  // No result wanted: the result is dropped without a leak.
  EXPECT_EQ(control->Invoke(10, IID_NULL, 0, DISPATCH_METHOD, &withNames, nullptr, nullptr,
                            nullptr),
            DISP_E_NONAMEDARGS);
  DISPPARAMS one{&arg, nullptr, 1, 0};
  EXPECT_EQ(control->Invoke(10, IID_NULL, 0, DISPATCH_METHOD, &one, nullptr, nullptr, nullptr),
            S_OK);
}

}  // namespace

namespace {

// Whatever a host puts in an argument, a member answers with a result or a
// clear code, never a crash or a leak.
TEST(Dispatch, OddArgumentsNeverCrashAMember) {
  FakeSession session;
  ComPtr<IDispatch> control = NewControl();
  NoTerminalInput quiet;
  ASSERT_EQ(Call(control.Get(), "InitControl").hr, S_OK);
  auto odd = [](int which) {
    VARIANT v;
    VariantInit(&v);
    switch (which) {
      case 0: v.vt = VT_NULL; break;
      case 1: v.vt = VT_ERROR; v.scode = DISP_E_PARAMNOTFOUND; break;  // a missing argument
      case 2: v.vt = VT_DISPATCH; v.pdispVal = nullptr; break;
      case 3: v.vt = VT_BYREF | VT_I4; v.plVal = nullptr; break;
      case 4: v.vt = VT_BYREF | VT_VARIANT; v.pvarVal = nullptr; break;
      case 5: v.vt = 0x7777; break;
      case 6: v.vt = VT_BSTR; v.bstrVal = nullptr; break;  // the empty string
      case 7: v.vt = VT_R8; v.dblVal = -1e300; break;
      default: v.vt = VT_BOOL; v.boolVal = VARIANT_TRUE; break;
    }
    return v;
  };
  for (const DispatchMember& m : DispatchMembers()) {
    for (UINT position = 0; position < m.paramCount; ++position) {
      for (int which = 0; which < 9; ++which) {
        std::vector<VARIANT> args;
        for (UINT p = 0; p < m.paramCount; ++p) {
          args.push_back(p == position ? odd(which)
                                       : m.params[p].type.vt == VT_BSTR ? Text("x") : Long(1));
        }
        CallResult r = CallId(control.Get(), m.dispid, std::move(args));
        EXPECT_TRUE(r.hr == S_OK || r.hr == DISP_E_TYPEMISMATCH) << m.name << " " << which;
        if (r.hr == DISP_E_TYPEMISMATCH) {
          EXPECT_EQ(r.argError, m.paramCount - 1 - position) << m.name << " " << which;
        }
      }
    }
  }
}

}  // namespace
