#include "hosts/common/status_text.h"

#include <cinttypes>
#include <cstdio>

#include "platform/store.h"

namespace vorn_host {
namespace {

struct StatusName {
  HRESULT status;
  const char* text;
};

constexpr StatusName kStatusNames[] = {
    {E_OUTOFMEMORY, "out of memory"},
    {E_INVALIDARG, "invalid argument"},
    {E_UNEXPECTED, "unexpected call"},
    {E_ACCESSDENIED, "not allowed"},
    {STG_E_MEDIUMFULL, "the disk is full or the message is too large"},
    {STG_E_ACCESSDENIED, "the store cannot be written"},
    {STG_E_LOCKVIOLATION, "the store is busy in another process"},
    {STG_E_DOCFILECORRUPT, "the store's file is damaged"},
    {STG_E_WRITEFAULT, "write error"},
    {STG_E_READFAULT, "read error"},
    {STG_E_FILENOTFOUND, "not found"},
    {STG_E_REVERTED, "the folder has been removed"},
    {STORE_E_ALREADYEXISTS, "a folder of that name exists"},
    {STORE_E_TOODEEP, "folders nest too deep"},
    {REGDB_E_CLASSNOTREG, "a component is not registered"},
    {REGDB_E_READREGDB, "the registry cannot be read"},
    {CO_E_DLLNOTFOUND, "a registered library cannot be loaded"},
    {CO_E_ERRORINDLL, "a registered library is not a component library"},
    {CO_E_NOTINITIALIZED, "the component runtime is not initialised"},
};

}  // namespace

std::string StatusText(HRESULT status) {
  char code[16];
  std::snprintf(code, sizeof(code), "0x%08" PRIX32, static_cast<uint32_t>(status));
  for (const StatusName& name : kStatusNames) {
    if (name.status == status) return std::string(name.text) + " (" + code + ")";
  }
  return std::string("status ") + code;
}

}  // namespace vorn_host
