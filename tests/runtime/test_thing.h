// A small interface shared by the activation tests and the test component
// library, so that a test can tell which class object made an object.
#pragma once

#include "platform/unknown.h"

constexpr IID IID_ITestThing = MakeGuid("{2694C790-BC8A-4865-ABFD-C6919A987064}");
// Served by the test component library (vorn_test_server.so).
constexpr CLSID CLSID_TestServerThing = MakeGuid("{3E3A653F-8353-4A69-927C-CE38930D59D4}");
// Served only by class objects a test registers in process.
constexpr CLSID CLSID_TestLocalThing = MakeGuid("{4207BEE5-A73D-4D5D-953A-BB015AED4823}");

struct ITestThing : IUnknown {
  // Tells who made the object: each maker answers its own number.
  virtual int Answer() = 0;

 protected:
  ~ITestThing() = default;
};
VORN_INTERFACE_ID(ITestThing, IID_ITestThing);
