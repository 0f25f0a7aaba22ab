// The address book contract suite run against vornwab.so, whose contacts a
// harness writes as a vCard file in a fresh platform root.
#include <filesystem>
#include <fstream>

#include "platform/loader.h"
#include "tests/fakes/contract/wab_contract.h"
#include "tests/support/temp_root.h"

namespace {

namespace fs = std::filesystem;
using vorn_contract::ContactSpec;

// `text` as one vCard 3.0 text value: no separator stays unescaped.
std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == ',' || c == ';') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

class VornWabHarness final : public vorn_contract::WabHarness {
 public:
  VornWabHarness() : module_(LoadLibraryA((vorn_test::BinDir() + "/vornwab.so").c_str())) {}
  ~VornWabHarness() override {
    if (module_) FreeLibrary(module_);
  }

  HRESULT Open(const std::vector<ContactSpec>& contacts, LPADRBOOK* addrBook,
               LPWABOBJECT* wabObject) override {
    auto open = reinterpret_cast<LPWABOPEN>(GetProcAddress(module_, WAB_OPEN_ENTRY));
    if (!open) return E_FAIL;
    const fs::path folder = fs::path(root_.path()) / "contacts";
    fs::create_directories(folder);
    std::ofstream file(folder / "contract.vcf", std::ios::binary);
    for (const ContactSpec& c : contacts) {
      file << "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:" << Escaped(c.displayName) << "\r\n";
      if (!c.nickname.empty()) file << "NICKNAME:" << Escaped(c.nickname) << "\r\n";
      file << "EMAIL;TYPE=INTERNET:" << Escaped(c.email) << "\r\nEND:VCARD\r\n";
    }
    file.close();
    return open(addrBook, wabObject, nullptr, 0);
  }

 private:
  vorn_test::TempRoot root_;
  HMODULE module_;
};

}  // namespace

using vorn_contract::WabContract;
INSTANTIATE_TEST_SUITE_P(Real, WabContract,
                         testing::Values(vorn_contract::WabContractParam{
                             "vornwab", [] { return std::make_unique<VornWabHarness>(); }}),
                         vorn_contract::WabParamName);
