// TestThing: a small automation object for the script host's tests, with a
// type library of its own, a connection point for its events, and a member
// that its type information does not list.
//
// Members (DISPIDs in brackets):
//   [1]  long Add(long a, long b)
//   [2]  BSTR Concat(BSTR a, BSTR b)
//   [3]  BSTR Describe(VARIANT value)    "I4 42", "R8 2.5", "BSTR abc", "BOOL -1",
//                                        "EMPTY", "NULL", "DISPATCH TestThing", ...
//   [4]  VARIANT Make(BSTR kind)         a VARIANT of the named kind (see .cc)
//   [5]  void Fail(long hr)              fails with hr
//   [6]  void Raise(BSTR text)           fails with DISP_E_EXCEPTION, the text as
//                                        description, scode 0x80040201
//   [7]  void Fire(long n)               fires Ping(n) and then Done()
//   [8]  long Value                      property, get and put
//   [9]  long Count()                    how many TestThings are alive
//   [10] long Optional(long a, [opt] long b)
//   [50] long Secret()                   not in the type information; returns 7
// Events: [1] Ping(long n), [2] Done().
// It draws itself (IViewObject) as blue with one red pixel at (1, 1), and
// states no size of its own.
#pragma once

#include "platform/automation.h"

namespace vorn_test {

constexpr CLSID CLSID_TestThing = MakeGuid("{7D0B58E2-3C1A-4F0E-9B6D-2A5C8E1F4B01}");
constexpr IID DIID_TestThing = MakeGuid("{7D0B58E2-3C1A-4F0E-9B6D-2A5C8E1F4B02}");
constexpr IID DIID_TestThingEvents = MakeGuid("{7D0B58E2-3C1A-4F0E-9B6D-2A5C8E1F4B03}");
constexpr char kTestThingProgId[] = "Vorn.TestThing";

// TestThing objects alive in this process.
int LiveTestThings();

// TestThing's class object, for a library that serves the class through
// DllGetClassObject. *ppv is the caller's on success, null otherwise.
HRESULT GetTestThingClassObject(REFIID riid, void** ppv);

// Registers TestThing's class object in this process and its ProgID in the
// registry of the current root, for the object's lifetime.
class TestThingRegistration {
 public:
  TestThingRegistration();
  ~TestThingRegistration();
  TestThingRegistration(const TestThingRegistration&) = delete;
  TestThingRegistration& operator=(const TestThingRegistration&) = delete;
  bool ok() const { return cookie_ != 0; }

 private:
  DWORD cookie_ = 0;
};

}  // namespace vorn_test
