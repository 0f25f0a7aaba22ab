#include <gtest/gtest.h>

#include "control/identifiers.h"
#include "tests/control/control_test_support.h"

namespace {

using namespace control_test;

struct Message {
  UINT message;
  WPARAM wParam;
  int x;
  int y;
};

TEST(Events, AdvisedSinkReceivesEachStockEventUntilUnadvised) {
  ComPtr<IDispatch> control = NewControl();
  ComPtr<IConnectionPointContainer> container;
  ASSERT_EQ(control.As(&container), S_OK);
  ComPtr<IConnectionPoint> point;
  EXPECT_EQ(container->FindConnectionPoint(IID_IDispatch, point.Put()), CONNECT_E_NOCONNECTION);
  ASSERT_EQ(container->FindConnectionPoint(DIID__DVornOutlookExpressEvents, point.Put()), S_OK);
  IID iid{};
  ASSERT_EQ(point->GetConnectionInterface(&iid), S_OK);
  EXPECT_EQ(iid, DIID__DVornOutlookExpressEvents);

  RecordingSink sink;
  DWORD cookie = 0;
  ASSERT_EQ(point->Advise(&sink, &cookie), S_OK);
  EXPECT_NE(cookie, 0u);
  EXPECT_EQ(sink.refs, 1u);  // held by the control

  ComPtr<IVornControlWindow> window;
  ASSERT_EQ(control.As(&window), S_OK);
  const Message input[] = {
      {WM_MOUSEMOVE, 0, 5, 6},
      {WM_LBUTTONDOWN, MK_LBUTTON | MK_SHIFT, 10, 20},
      {WM_MOUSEMOVE, MK_LBUTTON | MK_RBUTTON, 11, 21},
      {WM_LBUTTONUP, MK_CONTROL | MK_ALT, 12, 22},       // a click
      {WM_LBUTTONDBLCLK, MK_LBUTTON, 12, 22},
      {WM_LBUTTONUP, 0, 12, 22},                         // no second click
      {WM_RBUTTONDOWN, MK_RBUTTON, 1, 1},
      {WM_RBUTTONUP, 0, 1, 1},                           // only the left button clicks
      {WM_LBUTTONDOWN, MK_LBUTTON, 3, 3},
      {WM_LBUTTONUP, 0, -4, 300},                        // released outside: no click
      {WM_LBUTTONUP, 0, 3, 3},                           // up without down: no click
      {WM_MBUTTONDOWN, MK_MBUTTON, -7, -8},              // negative coordinates
  };
  for (const Message& m : input) {
    LRESULT result = -1;
    EXPECT_EQ(window->OnWindowMessage(m.message, m.wParam, MAKELPARAM(m.x, m.y), &result), S_OK);
    EXPECT_EQ(result, 0);
  }
  EXPECT_EQ(window->OnWindowMessage(0x0100 /* a key */, 0, 0, nullptr), S_FALSE);
  const std::vector<std::string> expected = {
      "MouseMove(s0, s0, 5, 6)",
      "MouseDown(s1, s1, 10, 20)",
      "MouseMove(s3, s0, 11, 21)",
      "MouseUp(s1, s6, 12, 22)",
      "Click()",
      "DblClick()",
      "MouseUp(s1, s0, 12, 22)",
      "MouseDown(s2, s0, 1, 1)",
      "MouseUp(s2, s0, 1, 1)",
      "MouseDown(s1, s0, 3, 3)",
      "MouseUp(s1, s0, -4, 300)",
      "MouseUp(s1, s0, 3, 3)",
      "MouseDown(s4, s0, -7, -8)",
  };
  EXPECT_EQ(sink.events, expected);

  ComPtr<IEnumConnections> connections;
  ASSERT_EQ(point->EnumConnections(connections.Put()), S_OK);
  CONNECTDATA data[2] = {};
  ULONG fetched = 0;
  EXPECT_EQ(connections->Next(2, data, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 1u);
  EXPECT_EQ(data[0].dwCookie, cookie);
  data[0].pUnk->Release();
  connections = nullptr;

  EXPECT_EQ(point->Unadvise(cookie + 1), CONNECT_E_NOCONNECTION);
  ASSERT_EQ(point->Unadvise(cookie), S_OK);
  EXPECT_EQ(sink.refs, 0u);
  sink.events.clear();
  window->OnWindowMessage(WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(1, 1), nullptr);
  window->OnWindowMessage(WM_LBUTTONUP, 0, MAKELPARAM(1, 1), nullptr);
  EXPECT_TRUE(sink.events.empty());
  EXPECT_EQ(point->Unadvise(cookie), CONNECT_E_NOCONNECTION);
}

TEST(Events, RefusesSinksWithoutDispatch) {
  ComPtr<IDispatch> control = NewControl();
  ComPtr<IConnectionPointContainer> container;
  ASSERT_EQ(control.As(&container), S_OK);
  ComPtr<IEnumConnectionPoints> points;
  ASSERT_EQ(container->EnumConnectionPoints(points.Put()), S_OK);
  IConnectionPoint* point = nullptr;
  ULONG fetched = 0;
  ASSERT_EQ(points->Next(1, &point, &fetched), S_OK);
  ComPtr<IConnectionPoint> held = ComPtr<IConnectionPoint>::Adopt(point);
  EXPECT_EQ(points->Next(1, &point, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 0u);
  ComPtr<MemoryStream> notASink = MemoryStream::Make();
  DWORD cookie = 99;
  EXPECT_EQ(held->Advise(notASink.Get(), &cookie), CONNECT_E_CANNOTCONNECT);
  EXPECT_EQ(cookie, 0u);
  EXPECT_EQ(held->Advise(nullptr, &cookie), E_POINTER);
}

}  // namespace
