#include "hosts/script/snapshot.h"

#include "control/identifiers.h"
#include "runtime/automation_client.h"
#include "platform/control.h"
#include "platform/gdi.h"
#include "platform/runtime.h"
#include "runtime/com_ptr.h"

namespace vornhost {

const char* const kDefaultSnapshotProgId = kControlProgId;

namespace {

// HIMETRIC (0.01 mm) to pixels at 96 pixels per inch, rounded.
LONG ToPixels(LONG himetric) {
  return static_cast<LONG>((static_cast<int64_t>(himetric) * 96 + 1270) / 2540);
}

constexpr int kMaxSide = 16384;

bool Draw(const std::string& file, const std::string& progId, int width, int height,
          std::string* error) {
  const std::string name = progId.empty() ? kDefaultSnapshotProgId : progId;
  auto fail = [&](const std::string& step, HRESULT hr) {
    *error = step + ": " + vorn_rt::HresultHex(hr) + " " + vorn_rt::HresultMeaning(hr);
    return false;
  };
  CLSID clsid{};
  HRESULT hr = CLSIDFromProgID(name.c_str(), &clsid);
  if (FAILED(hr)) return fail("cannot find \"" + name + "\"", hr);
  ComPtr<IViewObject> view;
  hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IViewObject, view.PutVoid());
  if (FAILED(hr)) return fail("cannot create \"" + name + "\" as an object that draws itself", hr);
  if (width == 0 || height == 0) {
    ComPtr<IOleObject> object;
    SIZEL extent{};
    hr = view.As(&object);
    if (SUCCEEDED(hr)) hr = object->GetExtent(DVASPECT_CONTENT, &extent);
    if (FAILED(hr)) return fail("\"" + name + "\" does not tell its size; give --size", hr);
    width = static_cast<int>(ToPixels(extent.cx));
    height = static_cast<int>(ToPixels(extent.cy));
    if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide) {
      *error = "\"" + name + "\" states a size of " + std::to_string(width) + "x" +
               std::to_string(height) + " pixels; give --size";
      return false;
    }
  }
  HDC dc = VornCreateBitmapDC(width, height, RGB(255, 255, 255));
  if (!dc) {
    *error = "cannot make a picture of " + std::to_string(width) + "x" + std::to_string(height);
    return false;
  }
  const RECTL bounds{0, 0, width, height};
  hr = view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, dc, &bounds, nullptr, nullptr,
                  0);
  bool ok = SUCCEEDED(hr);
  if (!ok) {
    fail("\"" + name + "\" could not draw itself", hr);
  } else if (!VornSaveDCAsPng(dc, file.c_str())) {
    *error = "cannot write " + file;
    ok = false;
  }
  DeleteDC(dc);
  return ok;
}

}  // namespace

bool Snapshot(const std::string& file, const std::string& progId, int width, int height,
              std::string* error) {
  if (FAILED(CoInitialize(nullptr))) {
    *error = "the component runtime did not start";
    return false;
  }
  const bool ok = Draw(file, progId, width, height, error);
  CoUninitialize();
  return ok;
}

}  // namespace vornhost
