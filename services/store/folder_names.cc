#include "services/store/folder_names.h"

#include <glib.h>

#include "platform/store.h"

namespace vorn_store {

HRESULT CheckFolderName(std::string_view name) {
  if (name.empty() || name.size() >= static_cast<size_t>(CCH_FOLDER_NAME)) return E_INVALIDARG;
  const gchar* end = nullptr;
  if (!g_utf8_validate(name.data(), static_cast<gssize>(name.size()), &end)) return E_INVALIDARG;
  bool onlySpace = true;
  for (const gchar* p = name.data(); p < name.data() + name.size(); p = g_utf8_next_char(p)) {
    gunichar c = g_utf8_get_char(p);
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return E_INVALIDARG;
    if (!g_unichar_isspace(c)) onlySpace = false;
  }
  return onlySpace ? E_INVALIDARG : S_OK;
}

std::string FolderNameKey(std::string_view name) {
  gchar* folded = g_utf8_casefold(name.data(), static_cast<gssize>(name.size()));
  gchar* composed = folded ? g_utf8_normalize(folded, -1, G_NORMALIZE_DEFAULT_COMPOSE) : nullptr;
  std::string key = composed ? composed : std::string(name);
  g_free(composed);
  g_free(folded);
  return key;
}

}  // namespace vorn_store
