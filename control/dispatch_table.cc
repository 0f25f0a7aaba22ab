// The dispatch and event tables of the control, and the forwarding of each
// method to its CMailStore operation.

#include "control/dispatch_table.h"

#include <iterator>

#include "control/identifiers.h"
#include "platform/codepage.h"
#include "control/vornoutlookexpressctrl.h"

namespace {

constexpr DispatchType kVoid{VT_VOID};
constexpr DispatchType kBool{VT_BOOL};
constexpr DispatchType kLong{VT_I4};
constexpr DispatchType kShort{VT_I2};
constexpr DispatchType kBstr{VT_BSTR};

// Results as automation passes them: any non-zero integer is VARIANT_TRUE;
// strings are new BSTRs, empty but never null for an empty result.
HRESULT Bool(int32_t value, VARIANT* result) {
  result->vt = VT_BOOL;
  result->boolVal = value != 0 ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}
HRESULT Long(int32_t value, VARIANT* result) {
  result->vt = VT_I4;
  result->lVal = value;
  return S_OK;
}
HRESULT Short(int32_t value, VARIANT* result) {
  result->vt = VT_I2;
  result->iVal = static_cast<SHORT>(value);
  return S_OK;
}
HRESULT Text(const std::string& value, VARIANT* result) {
  // The operation's result is copied before it becomes the host's string.
  const std::string copy = value;
  BSTR text = VornSysAllocStringA(copy.data(), static_cast<int>(copy.size()));
  if (!text) return E_OUTOFMEMORY;
  result->vt = VT_BSTR;
  result->bstrVal = text;
  return S_OK;
}
// A stored message's text: as UTF-8 when it is valid UTF-8, else read as
// Windows-1252, where every byte is one character, so that the host can turn
// the string back into the very bytes.
HRESULT RawText(const std::string& value, VARIANT* result) {
  const std::string copy = value;
  const int bytes = static_cast<int>(copy.size());
  if (copy.empty() ||
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, copy.data(), bytes, nullptr, 0) > 0) {
    return Text(copy, result);
  }
  const int units = MultiByteToWideChar(CP_WINDOWS_1252, 0, copy.data(), bytes, nullptr, 0);
  if (units <= 0) return E_OUTOFMEMORY;
  BSTR text = SysAllocStringLen(nullptr, static_cast<UINT>(units));
  if (!text) return E_OUTOFMEMORY;
  MultiByteToWideChar(CP_WINDOWS_1252, 0, copy.data(), bytes, text, units);
  result->vt = VT_BSTR;
  result->bstrVal = text;
  return S_OK;
}
// The create, copy and move operations are normalised to exactly 0 or 1.
int32_t Normalised(int32_t value) { return value != 0 ? 1 : 0; }

using Ctrl = CVornOutlookExpressCtrl;
using Args = DispatchArgs;

#define STORE(ctrl) (ctrl).MailStore()

constexpr DispatchMember kMembers[] = {
    {2, "InitControl", kBool, 0, {},
     [](Ctrl& c, const Args&, VARIANT* r) { return Bool(c.InitControl(), r); }},
    {3, "CreateFolder", kBool, 2, {{"FolderId", kLong}, {"NewFolderName", kBstr}},
     [](Ctrl& c, const Args& a, VARIANT* r) {
       // A name that would not be stored as given is refused here.
       if (a.altered[1]) return Bool(0, r);
       return Bool(Normalised(STORE(c).CreateFolder(a.longs[0], a.texts[1])), r);
     }},
    {4, "CreateMessage", kBool, 5,
     {{"FolderId", kLong}, {"From", kBstr}, {"To", kBstr}, {"Subject", kBstr}, {"Content", kBstr}},
     [](Ctrl& c, const Args& a, VARIANT* r) {
       // Four owned copies of the texts go to the operation.
       const std::string from = a.texts[1], to = a.texts[2], subject = a.texts[3],
                         content = a.texts[4];
       return Bool(Normalised(STORE(c).CreateMessage(a.longs[0], from, to, subject, content)), r);
     }},
    {5, "CopyMessage", kBool, 2, {{"SourceMessageId", kLong}, {"DestinationFolderId", kLong}},
     [](Ctrl& c, const Args& a, VARIANT* r) {
       return Bool(Normalised(STORE(c).CopyMoveMessage(a.longs[0], a.longs[1], 0)), r);
     }},
    {6, "MoveMessage", kBool, 2, {{"SourceMessageId", kLong}, {"DestinationFolderId", kLong}},
     [](Ctrl& c, const Args& a, VARIANT* r) {
       return Bool(Normalised(STORE(c).CopyMoveMessage(a.longs[0], a.longs[1], 1)), r);
     }},
    {7, "GetFolderCount", kLong, 0, {},
     [](Ctrl& c, const Args&, VARIANT* r) { return Long(STORE(c).GetFolderCount(), r); }},
    {8, "GetFolderId", kLong, 1, {{"Index", kLong}},
     [](Ctrl& c, const Args& a, VARIANT* r) { return Long(STORE(c).GetFolderId(a.longs[0]), r); }},
    {9, "GetFolderMessageCount", kLong, 1, {{"Index", kLong}},
     [](Ctrl& c, const Args& a, VARIANT* r) {
       return Long(STORE(c).GetFolderMessageCount(a.longs[0]), r);
     }},
    {10, "GetFolderName", kBstr, 1, {{"Index", kLong}},
     [](Ctrl& c, const Args& a, VARIANT* r) { return Text(STORE(c).GetFolderName(a.longs[0]), r); }},
    {11, "GetFolderSubFolderCount", kLong, 1, {{"Index", kLong}},
     [](Ctrl& c, const Args& a, VARIANT* r) {
       return Long(STORE(c).GetFolderSubFolderCount(a.longs[0]), r);
     }},
    {12, "GetFolderType", kShort, 1, {{"Index", kLong}},
     [](Ctrl& c, const Args& a, VARIANT* r) { return Short(STORE(c).GetFolderType(a.longs[0]), r); }},
    {13, "GetFolderUnreads", kLong, 1, {{"Index", kLong}},
     [](Ctrl& c, const Args& a, VARIANT* r) {
       return Long(STORE(c).GetFolderUnreads(a.longs[0]), r);
     }},
    {14, "GetMessageContent", kBstr, 1, {{"MessageId", kLong}},
     [](Ctrl& c, const Args& a, VARIANT* r) {
       return RawText(STORE(c).GetMessageContent(a.longs[0]), r);
     }},
    {15, "GetMessageCount", kLong, 0, {},
     [](Ctrl& c, const Args&, VARIANT* r) { return Long(STORE(c).GetMessageCount(), r); }},
    {16, "GetMessageDisplayFrom", kBstr, 1, {{"Index", kLong}},
     [](Ctrl& c, const Args& a, VARIANT* r) {
       return Text(STORE(c).GetMessageDisplayFrom(a.longs[0]), r);
     }},
    {17, "GetMessageDisplayTo", kBstr, 1, {{"Index", kLong}},
     [](Ctrl& c, const Args& a, VARIANT* r) {
       return Text(STORE(c).GetMessageDisplayTo(a.longs[0]), r);
     }},
    {18, "GetMessageId", kLong, 1, {{"Index", kLong}},
     [](Ctrl& c, const Args& a, VARIANT* r) { return Long(STORE(c).GetMessageId(a.longs[0]), r); }},
    {19, "GetMessageLanguage", kLong, 1, {{"Index", kLong}},
     [](Ctrl& c, const Args& a, VARIANT* r) {
       return Long(STORE(c).GetMessageLanguage(a.longs[0]), r);
     }},
    {20, "GetMessageNormalSubject", kBstr, 1, {{"Index", kLong}},
     [](Ctrl& c, const Args& a, VARIANT* r) {
       return Text(STORE(c).GetMessageNormalSubject(a.longs[0]), r);
     }},
    {21, "GetMessageReceivedTime", kBstr, 1, {{"Index", kLong}},
     [](Ctrl& c, const Args& a, VARIANT* r) {
       return Text(STORE(c).GetMessageReceivedTime(a.longs[0]), r);
     }},
    {22, "GetMessageSentTime", kBstr, 1, {{"Index", kLong}},
     [](Ctrl& c, const Args& a, VARIANT* r) {
       return Text(STORE(c).GetMessageSentTime(a.longs[0]), r);
     }},
    {23, "GetMessageSubject", kBstr, 1, {{"Index", kLong}},
     [](Ctrl& c, const Args& a, VARIANT* r) {
       return Text(STORE(c).GetMessageSubject(a.longs[0]), r);
     }},
    {24, "MarkMessagesAsRead", kBool, 1, {{"MessageId", kLong}},
     [](Ctrl& c, const Args& a, VARIANT* r) { return Bool(STORE(c).MarkMessage(a.longs[0], 1), r); }},
    {25, "MarkMessagesAsUnRead", kBool, 1, {{"MessageId", kLong}},
     [](Ctrl& c, const Args& a, VARIANT* r) { return Bool(STORE(c).MarkMessage(a.longs[0], 0), r); }},
    {26, "RemoveFolder", kBool, 1, {{"FolderId", kLong}},
     [](Ctrl& c, const Args& a, VARIANT* r) { return Bool(STORE(c).RemoveFolder(a.longs[0]), r); }},
    {27, "RemoveMessage", kBool, 1, {{"MessageId", kLong}},
     [](Ctrl& c, const Args& a, VARIANT* r) { return Bool(STORE(c).RemoveMessage(a.longs[0]), r); }},
    {28, "RenameFolder", kBool, 2, {{"FolderId", kLong}, {"NewFolderName", kBstr}},
     [](Ctrl& c, const Args& a, VARIANT* r) {
       if (a.altered[1]) return Bool(0, r);
       return Bool(STORE(c).RenameFolder(a.longs[0], a.texts[1]), r);
     }},
    {29, "SetFolder", kBool, 1, {{"FolderId", kLong}},
     [](Ctrl& c, const Args& a, VARIANT* r) { return Bool(STORE(c).SetFolder(a.longs[0]), r); }},
    {30, "GetFolderHierarchy", kLong, 1, {{"Index", kLong}},
     [](Ctrl& c, const Args& a, VARIANT* r) {
       return Long(STORE(c).GetFolderHierarchy(a.longs[0]), r);
     }},
    {31, "GetContactCount", kLong, 0, {},
     [](Ctrl& c, const Args&, VARIANT* r) { return Long(STORE(c).GetContactCount(), r); }},
    {32, "GetContactEmail", kBstr, 1, {{"Index", kLong}},
     [](Ctrl& c, const Args& a, VARIANT* r) {
       return Text(STORE(c).GetContactEmail(a.longs[0]), r);
     }},
    {33, "GetContactNickname", kBstr, 1, {{"Index", kLong}},
     [](Ctrl& c, const Args& a, VARIANT* r) {
       return Text(STORE(c).GetContactNickname(a.longs[0]), r);
     }},
    {34, "GetContactDisplayName", kBstr, 1, {{"Index", kLong}},
     [](Ctrl& c, const Args& a, VARIANT* r) {
       return Text(STORE(c).GetContactDisplayName(a.longs[0]), r);
     }},
    {35, "SetMessage", kBool, 1, {{"MessageId", kLong}},
     [](Ctrl& c, const Args& a, VARIANT* r) { return Bool(STORE(c).SetMessage(a.longs[0]), r); }},
    {36, "GetAttachmentCount", kLong, 0, {},
     [](Ctrl& c, const Args&, VARIANT* r) { return Long(STORE(c).GetAttachmentCount(), r); }},
    {37, "GetAttachmentName", kBstr, 1, {{"Index", kLong}},
     [](Ctrl& c, const Args& a, VARIANT* r) {
       return Text(STORE(c).GetAttachmentName(a.longs[0]), r);
     }},
    {38, "GetBody", kBstr, 0, {},
     [](Ctrl& c, const Args&, VARIANT* r) { return Text(STORE(c).GetBody(), r); }},
    {DISPID_ABOUTBOX, "AboutBox", kVoid, 0, {},
     [](Ctrl& c, const Args&, VARIANT*) {
       c.AboutBox();
       return S_OK;
     }},
};

#undef STORE

constexpr DispatchType kXPos{VT_I4, kXPosPixelsName};
constexpr DispatchType kYPos{VT_I4, kYPosPixelsName};

constexpr EventMember kEvents[] = {
    {DISPID_CLICK, "Click", 0, {}},
    {DISPID_DBLCLICK, "DblClick", 0, {}},
    {DISPID_MOUSEDOWN, "MouseDown", 4,
     {{"Button", kShort}, {"Shift", kShort}, {"x", kXPos}, {"y", kYPos}}},
    {DISPID_MOUSEMOVE, "MouseMove", 4,
     {{"Button", kShort}, {"Shift", kShort}, {"x", kXPos}, {"y", kYPos}}},
    {DISPID_MOUSEUP, "MouseUp", 4,
     {{"Button", kShort}, {"Shift", kShort}, {"x", kXPos}, {"y", kYPos}}},
};

bool SameName(const char* a, const std::string& b) {
  size_t i = 0;
  for (; a[i] && i < b.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return a[i] == '\0' && i == b.size();
}

}  // namespace

std::span<const DispatchMember> DispatchMembers() { return kMembers; }

std::span<const EventMember> EventMembers() { return kEvents; }

const DispatchMember* FindDispatchMember(DISPID dispid) {
  for (const DispatchMember& m : kMembers) {
    if (m.dispid == dispid) return &m;
  }
  return nullptr;
}

const DispatchMember* FindDispatchMember(const std::string& name) {
  for (const DispatchMember& m : kMembers) {
    if (SameName(m.name, name)) return &m;
  }
  return nullptr;
}
