// The dispatch and event tables of the control, and the forwarding of each
// method to its CMailStore operation.

#include "control/dispatch_table.h"

#include <functional>
#include <iterator>
#include <tuple>
#include <type_traits>
#include <utility>

#include "control/identifiers.h"
#include "platform/codepage.h"
#include "control/vornoutlookexpressctrl.h"
#include "runtime/text.h"

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
  if (vorn_rt::IsValidUtf8(copy)) return Text(copy, result);
  const int units = MultiByteToWideChar(CP_WINDOWS_1252, 0, copy.data(), bytes, nullptr, 0);
  if (units <= 0) return E_OUTOFMEMORY;
  BSTR text = SysAllocStringLen(nullptr, static_cast<UINT>(units));
  if (!text) return E_OUTOFMEMORY;
  MultiByteToWideChar(CP_WINDOWS_1252, 0, copy.data(), bytes, text, units);
  result->vt = VT_BSTR;
  result->bstrVal = text;
  return S_OK;
}
// ---- Binding a member to its operation --------------------------------------
//
// A member is bound to the operation it forwards to; the operation's own
// signature gives the member's parameter types and picks each argument from
// the converted call arguments, so an operation whose parameter or result
// type does not fit the member's declaration does not compile.

using Ctrl = CVornOutlookExpressCtrl;
using Args = DispatchArgs;

// A parameter type an operation may declare: its automation type, and the
// argument of that type at position `i`.
template <class T>
struct Param;
template <>
struct Param<int32_t> {
  static constexpr DispatchType type = kLong;
  static int32_t From(const Args& a, size_t i) { return a.longs[i]; }
};
template <>
struct Param<const std::string&> {
  static constexpr DispatchType type = kBstr;
  static const std::string& From(const Args& a, size_t i) { return a.texts[i]; }
};

// The object an operation runs on: the control's CMailStore, or the control.
template <class Target>
Target& TargetOf(Ctrl& c);
template <>
CMailStore& TargetOf<CMailStore>(Ctrl& c) {
  return c.MailStore();
}
template <>
Ctrl& TargetOf<Ctrl>(Ctrl& c) {
  return c;
}

// What an operation's type tells: its target, result and parameters. An
// operation is a member function of CMailStore or a function whose first
// parameter is the target.
template <class Op>
struct Signature;
template <class R, class T, class... P>
struct Signature<R (T::*)(P...)> {
  using Target = T;
  using Result = R;
  using Params = std::tuple<P...>;
};
template <class R, class T, class... P>
struct Signature<R (T::*)(P...) const> : Signature<R (T::*)(P...)> {};
template <class R, class T, class... P>
struct Signature<R (*)(T&, P...)> : Signature<R (T::*)(P...)> {};

// Result conversions, one per declared result type. Each takes the value
// type it converts, so a member cannot be declared with a result its
// operation does not give.
struct AsBool {  // any non-zero value is VARIANT_TRUE
  static constexpr DispatchType type = kBool;
  static HRESULT Put(int32_t value, VARIANT* r) { return Bool(value, r); }
};
struct AsLong {
  static constexpr DispatchType type = kLong;
  static HRESULT Put(int32_t value, VARIANT* r) { return Long(value, r); }
};
struct AsShort {
  static constexpr DispatchType type = kShort;
  static HRESULT Put(int32_t value, VARIANT* r) { return Short(value, r); }
};
struct AsText {
  static constexpr DispatchType type = kBstr;
  static HRESULT Put(const std::string& value, VARIANT* r) { return Text(value, r); }
};
struct AsRawText {
  static constexpr DispatchType type = kBstr;
  static HRESULT Put(const std::string& value, VARIANT* r) { return RawText(value, r); }
};
struct AsNothing {
  static constexpr DispatchType type = kVoid;
};

// Whether text arguments that UTF-8 cannot carry as given refuse the call
// (with the result 0) rather than reach the operation with replacements.
enum class AlteredText { kPassed, kRefused };

template <auto Op, class Result, AlteredText altered, size_t... I>
HRESULT CallWith(Ctrl& c, const Args& a, VARIANT* r, std::index_sequence<I...>) {
  using S = Signature<decltype(Op)>;
  if constexpr (altered == AlteredText::kRefused) {
    if ((... || (a.altered[I] &&
                 Param<std::tuple_element_t<I, typename S::Params>>::type.vt == VT_BSTR))) {
      return Result::Put(0, r);
    }
  }
  auto& target = TargetOf<typename S::Target>(c);
  if constexpr (std::is_void_v<typename S::Result>) {
    static_assert(std::is_same_v<Result, AsNothing>, "an operation without a result");
    std::invoke(Op, target, Param<std::tuple_element_t<I, typename S::Params>>::From(a, I)...);
    return S_OK;
  } else {
    return Result::Put(
        std::invoke(Op, target, Param<std::tuple_element_t<I, typename S::Params>>::From(a, I)...),
        r);
  }
}

template <auto Op, class Result, AlteredText altered>
HRESULT Call(Ctrl& c, const Args& a, VARIANT* r) {
  constexpr size_t count = std::tuple_size_v<typename Signature<decltype(Op)>::Params>;
  return CallWith<Op, Result, altered>(c, a, r, std::make_index_sequence<count>());
}

template <class Params, size_t... I>
constexpr void PutParamTypes(DispatchMember* m, std::index_sequence<I...>) {
  ((m->params[I].type = Param<std::tuple_element_t<I, Params>>::type), ...);
}

// The table entry of member `name`, forwarding to `Op` with its parameters
// named `names` (one per parameter of the operation).
template <auto Op, class Result, AlteredText altered = AlteredText::kPassed, class... Names>
constexpr DispatchMember Bind(DISPID dispid, const char* name, Names... names) {
  using Params = typename Signature<decltype(Op)>::Params;
  constexpr size_t count = std::tuple_size_v<Params>;
  static_assert(count <= kMaxParams);
  static_assert(sizeof...(Names) == count, "one name for each parameter of the operation");
  DispatchMember m{dispid, name, Result::type, count, {}, &Call<Op, Result, altered>};
  const char* list[] = {names..., nullptr};
  for (size_t i = 0; i < count; ++i) m.params[i].name = list[i];
  PutParamTypes<Params>(&m, std::make_index_sequence<count>());
  return m;
}

// The operations that are a CMailStore operation with a fixed argument, or
// whose result is normalised to exactly 0 or 1 (create, copy and move).
int32_t Normalised(int32_t value) { return value != 0 ? 1 : 0; }
int32_t CreateFolder(CMailStore& s, int32_t parentFolderId, const std::string& name) {
  return Normalised(s.CreateFolder(parentFolderId, name));
}
int32_t CreateMessage(CMailStore& s, int32_t folderId, const std::string& from,
                      const std::string& to, const std::string& subject,
                      const std::string& content) {
  return Normalised(s.CreateMessage(folderId, from, to, subject, content));
}
int32_t CopyMessage(CMailStore& s, int32_t sourceMessageId, int32_t destinationFolderId) {
  return Normalised(s.CopyMoveMessage(sourceMessageId, destinationFolderId, FALSE));
}
int32_t MoveMessage(CMailStore& s, int32_t sourceMessageId, int32_t destinationFolderId) {
  return Normalised(s.CopyMoveMessage(sourceMessageId, destinationFolderId, TRUE));
}
int32_t MarkMessagesAsRead(CMailStore& s, int32_t messageId) { return s.MarkMessage(messageId, 1); }
int32_t MarkMessagesAsUnRead(CMailStore& s, int32_t messageId) {
  return s.MarkMessage(messageId, 0);
}

using S = CMailStore;
constexpr AlteredText kRefused = AlteredText::kRefused;

constexpr DispatchMember kMembers[] = {
    Bind<&Ctrl::InitControl, AsBool>(2, "InitControl"),
    // A name that would not be stored as given is refused.
    Bind<&CreateFolder, AsBool, kRefused>(3, "CreateFolder", "FolderId", "NewFolderName"),
    Bind<&CreateMessage, AsBool>(4, "CreateMessage", "FolderId", "From", "To", "Subject",
                                 "Content"),
    Bind<&CopyMessage, AsBool>(5, "CopyMessage", "SourceMessageId", "DestinationFolderId"),
    Bind<&MoveMessage, AsBool>(6, "MoveMessage", "SourceMessageId", "DestinationFolderId"),
    Bind<&S::GetFolderCount, AsLong>(7, "GetFolderCount"),
    Bind<&S::GetFolderId, AsLong>(8, "GetFolderId", "Index"),
    Bind<&S::GetFolderMessageCount, AsLong>(9, "GetFolderMessageCount", "Index"),
    Bind<&S::GetFolderName, AsText>(10, "GetFolderName", "Index"),
    Bind<&S::GetFolderSubFolderCount, AsLong>(11, "GetFolderSubFolderCount", "Index"),
    Bind<&S::GetFolderType, AsShort>(12, "GetFolderType", "Index"),
    Bind<&S::GetFolderUnreads, AsLong>(13, "GetFolderUnreads", "Index"),
    Bind<&S::GetMessageContent, AsRawText>(14, "GetMessageContent", "MessageId"),
    Bind<&S::GetMessageCount, AsLong>(15, "GetMessageCount"),
    Bind<&S::GetMessageDisplayFrom, AsText>(16, "GetMessageDisplayFrom", "Index"),
    Bind<&S::GetMessageDisplayTo, AsText>(17, "GetMessageDisplayTo", "Index"),
    Bind<&S::GetMessageId, AsLong>(18, "GetMessageId", "Index"),
    Bind<&S::GetMessageLanguage, AsLong>(19, "GetMessageLanguage", "Index"),
    Bind<&S::GetMessageNormalSubject, AsText>(20, "GetMessageNormalSubject", "Index"),
    Bind<&S::GetMessageReceivedTime, AsText>(21, "GetMessageReceivedTime", "Index"),
    Bind<&S::GetMessageSentTime, AsText>(22, "GetMessageSentTime", "Index"),
    Bind<&S::GetMessageSubject, AsText>(23, "GetMessageSubject", "Index"),
    Bind<&MarkMessagesAsRead, AsBool>(24, "MarkMessagesAsRead", "MessageId"),
    Bind<&MarkMessagesAsUnRead, AsBool>(25, "MarkMessagesAsUnRead", "MessageId"),
    Bind<&S::RemoveFolder, AsBool>(26, "RemoveFolder", "FolderId"),
    Bind<&S::RemoveMessage, AsBool>(27, "RemoveMessage", "MessageId"),
    Bind<&S::RenameFolder, AsBool, kRefused>(28, "RenameFolder", "FolderId", "NewFolderName"),
    Bind<&S::SetFolder, AsBool>(29, "SetFolder", "FolderId"),
    Bind<&S::GetFolderHierarchy, AsLong>(30, "GetFolderHierarchy", "Index"),
    Bind<&S::GetContactCount, AsLong>(31, "GetContactCount"),
    Bind<&S::GetContactEmail, AsText>(32, "GetContactEmail", "Index"),
    Bind<&S::GetContactNickname, AsText>(33, "GetContactNickname", "Index"),
    Bind<&S::GetContactDisplayName, AsText>(34, "GetContactDisplayName", "Index"),
    Bind<&S::SetMessage, AsBool>(35, "SetMessage", "MessageId"),
    Bind<&S::GetAttachmentCount, AsLong>(36, "GetAttachmentCount"),
    Bind<&S::GetAttachmentName, AsText>(37, "GetAttachmentName", "Index"),
    Bind<&S::GetBody, AsText>(38, "GetBody"),
    Bind<&Ctrl::AboutBox, AsNothing>(DISPID_ABOUTBOX, "AboutBox"),
};

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
    if (vorn_rt::EqualNoCase(m.name, name)) return &m;
  }
  return nullptr;
}
