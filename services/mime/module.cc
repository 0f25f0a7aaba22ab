// The exports of vornmime.so: its class objects and its self-registration.

#include "platform/runtime.h"
#include "runtime/registration_writer.h"
#include "runtime/server_module.h"
#include "services/mime/mime_objects.h"

namespace {

constexpr const char* kThreadingModel = "Both";

vorn_rt::ClassFactory g_messageFactory(vorn_mime::MimeModule(), CLSID_VornMimeMessage,
                                       &vorn_mime::CreateMimeMessage);
vorn_rt::ClassFactory g_allocatorFactory(vorn_mime::MimeModule(), CLSID_IMimeAllocator,
                                         &vorn_mime::CreateMimeAllocator);

}  // namespace

VORN_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  return vorn_rt::GetClassObjectFrom({&g_messageFactory, &g_allocatorFactory}, clsid, riid, ppv);
}

VORN_EXPORT HRESULT DllCanUnloadNow() { return vorn_mime::MimeModule().CanUnloadNow(); }

// Each class: HKEY_CLASSES_ROOT\CLSID\{clsid} with its name, and
// InprocServer32 naming this library with the threading model "Both".
VORN_EXPORT HRESULT DllRegisterServer() {
  return vorn_rt::Guarded(
      [] {
        const std::string path =
            vorn_rt::LibraryPathOf(reinterpret_cast<const void*>(&DllRegisterServer));
        if (path.empty()) return SELFREG_E_CLASS;
        vorn_rt::RegistrationWriter writer;
        if (!writer.WriteServerClass(CLSID_VornMimeMessage, "Vorn MIME Message", path,
                                     kThreadingModel) ||
            !writer.WriteServerClass(CLSID_IMimeAllocator, "Vorn MIME Allocator", path,
                                     kThreadingModel)) {
          return SELFREG_E_CLASS;
        }
        writer.Commit();
        return S_OK;
      },
      SELFREG_E_CLASS);
}

VORN_EXPORT HRESULT DllUnregisterServer() {
  const bool message = vorn_rt::RemoveServerClass(CLSID_VornMimeMessage);
  const bool allocator = vorn_rt::RemoveServerClass(CLSID_IMimeAllocator);
  return message && allocator ? S_OK : SELFREG_E_CLASS;
}
