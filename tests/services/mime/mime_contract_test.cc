// The MIME model contract, run against the library.

#include <memory>

#include "platform/runtime.h"
#include "tests/fakes/contract/mime_contract.h"
#include "tests/services/mime/mime_model.h"

namespace {

class LibraryHarness : public vorn_contract::MimeHarness {
 public:
  HRESULT OpenMessage(const vorn_contract::MimeScenario& scenario,
                      IMimeMessage** message) override {
    ComPtr<IMimeMessage> loaded =
        mime_test::LoadMessage(vorn_contract::ComposeRawMessage(scenario));
    if (!loaded) return E_FAIL;
    *message = loaded.Detach();
    return S_OK;
  }
  HRESULT CreateAllocator(IMimeAllocator** allocator) override {
    mime_test::NewMessage();  // initialises this thread for CoCreateInstance
    return CoCreateInstance(CLSID_IMimeAllocator, nullptr, CLSCTX_INPROC_SERVER,
                            IID_IMimeAllocator, reinterpret_cast<void**>(allocator));
  }
};

using vorn_contract::MimeContract;
INSTANTIATE_TEST_SUITE_P(Library, MimeContract,
                         testing::Values(vorn_contract::MimeContractParam{
                             "vornmime", [] { return std::make_unique<LibraryHarness>(); }}),
                         vorn_contract::MimeParamName);

}  // namespace
