// The members of the control's dispatch interface and of its event
// interface, in table order. IDispatch::GetIDsOfNames and Invoke, the type
// library and the tests all read these tables; nothing else lists a member.
#pragma once

#include <span>
#include <string>

#include "platform/automation.h"

class CVornOutlookExpressCtrl;

constexpr UINT kMaxParams = 5;

// A parameter or result type: a VT_ code, and for the event coordinates the
// name of the alias type the type library declares for them.
struct DispatchType {
  VARTYPE vt;
  const char* alias = nullptr;
};

struct DispatchParam {
  const char* name;
  DispatchType type;
};

// The arguments of one call, converted to their declared types, in declared
// order: a `long` parameter in longs[i], a BSTR parameter (as UTF-8) in
// texts[i]. altered[i] is true for a BSTR that UTF-8 text cannot carry as
// given: one holding a NUL character or an unpaired surrogate (converted to
// U+FFFD in texts[i]).
struct DispatchArgs {
  LONG longs[kMaxParams] = {};
  std::string texts[kMaxParams];
  bool altered[kMaxParams] = {};
};

// Calls the member on `ctrl` and stores its result (of the member's result
// type; nothing for VT_VOID) in *result. E_OUTOFMEMORY when a result string
// cannot be made.
typedef HRESULT (*DispatchCall)(CVornOutlookExpressCtrl& ctrl, const DispatchArgs& args,
                                VARIANT* result);

struct DispatchMember {
  DISPID dispid;
  const char* name;
  DispatchType result;  // VT_VOID: none
  UINT paramCount;
  DispatchParam params[kMaxParams];
  DispatchCall call;
};

struct EventMember {
  DISPID dispid;
  const char* name;
  UINT paramCount;
  DispatchParam params[4];
};

// The 38 members of _DVornOutlookExpress.
std::span<const DispatchMember> DispatchMembers();
// The five stock events of _DVornOutlookExpressEvents.
std::span<const EventMember> EventMembers();

// The member with `dispid`, or null.
const DispatchMember* FindDispatchMember(DISPID dispid);
// The member whose name matches `name` without regard to ASCII case, or null.
const DispatchMember* FindDispatchMember(const std::string& name);
