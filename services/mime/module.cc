// The exports of vornmime.so: its class objects and its self-registration.

#include "platform/runtime.h"
#include "runtime/registration_writer.h"
#include "runtime/server_module.h"
#include "services/mime/mime_objects.h"

namespace {

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
  return vorn_rt::RegisterOwnServerClasses(
      {{&CLSID_VornMimeMessage, "Vorn MIME Message"},
       {&CLSID_IMimeAllocator, "Vorn MIME Allocator"}},
      reinterpret_cast<const void*>(&DllRegisterServer));
}

VORN_EXPORT HRESULT DllUnregisterServer() {
  const bool message = vorn_rt::RemoveServerClass(CLSID_VornMimeMessage);
  const bool allocator = vorn_rt::RemoveServerClass(CLSID_IMimeAllocator);
  return message && allocator ? S_OK : SELFREG_E_CLASS;
}
