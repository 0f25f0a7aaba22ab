// The registry: a tree of keys holding named string and 32-bit values, under
// three roots. Kept in one text file under the platform's root folder.
//
// Declarations only; libvornrt.so implements them. Every function returns a
// Win32 error code: ERROR_SUCCESS (0) or one of the codes below.
// Key and value names compare case-insensitively (ASCII letters) and keep the
// case they were first written with; the empty value name (or a null one) is
// the key's default value. A key name is 1 to 255 bytes with no backslash and
// no control character. Open-key handles are checked: an unknown or closed
// handle gives ERROR_INVALID_HANDLE, a key deleted (by anyone) while open gives
// ERROR_KEY_DELETED. A registry file that cannot be parsed makes every call
// fail with ERROR_BADDB and is never overwritten.
#pragma once

#include "platform/types.h"

typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef DWORD REGSAM;
typedef LONG LSTATUS;

inline HKEY const HKEY_CLASSES_ROOT = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000000u));
inline HKEY const HKEY_CURRENT_USER = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000001u));
inline HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000002u));

constexpr LONG ERROR_SUCCESS = 0;
constexpr LONG ERROR_FILE_NOT_FOUND = 2;
constexpr LONG ERROR_ACCESS_DENIED = 5;
constexpr LONG ERROR_INVALID_HANDLE = 6;
constexpr LONG ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr LONG ERROR_INVALID_DATA = 13;
constexpr LONG ERROR_WRITE_FAULT = 29;
constexpr LONG ERROR_READ_FAULT = 30;
constexpr LONG ERROR_INVALID_PARAMETER = 87;
constexpr LONG ERROR_DISK_FULL = 112;
constexpr LONG ERROR_MOD_NOT_FOUND = 126;
constexpr LONG ERROR_PROC_NOT_FOUND = 127;
constexpr LONG ERROR_MORE_DATA = 234;
constexpr LONG ERROR_NO_MORE_ITEMS = 259;
constexpr LONG ERROR_BADDB = 1009;
constexpr LONG ERROR_BADKEY = 1010;
constexpr LONG ERROR_CANTOPEN = 1011;
constexpr LONG ERROR_CANTREAD = 1012;
constexpr LONG ERROR_CANTWRITE = 1013;
constexpr LONG ERROR_KEY_DELETED = 1018;

// Value types. REG_SZ data includes its terminating NUL.
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;

// Access rights. They are checked for their form only; every process may read
// and write the whole registry.
constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// Opens an existing key below `key` (a root or an open key); `subKey` is a
// path of names separated by backslashes, empty or null for `key` itself.
// *result is an open key the caller closes with RegCloseKey.
// ERROR_FILE_NOT_FOUND when the key does not exist.
VORN_API LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access,
                               PHKEY result);

// Opens the key, creating it and any missing parents. *disposition (may be
// null) tells which happened.
VORN_API LSTATUS RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR className,
                                 DWORD options, REGSAM access, void* security, PHKEY result,
                                 LPDWORD disposition);

// Reads a value. With `data` null, reports only the type and the size in
// *cbData. With a buffer, copies the value when it fits in *cbData bytes;
// otherwise copies nothing, sets *cbData to the size needed and returns
// ERROR_MORE_DATA. ERROR_FILE_NOT_FOUND when there is no such value.
VORN_API LSTATUS RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type,
                                  LPBYTE data, LPDWORD cbData);

// Writes a value of type REG_SZ, REG_EXPAND_SZ or REG_DWORD (4 bytes).
// String data is taken up to its first NUL within `cbData`.
VORN_API LSTATUS RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type,
                                const BYTE* data, DWORD cbData);

VORN_API LSTATUS RegDeleteValueA(HKEY key, LPCSTR valueName);

// Deletes a key that has no subkeys; ERROR_ACCESS_DENIED when it has some.
VORN_API LSTATUS RegDeleteKeyA(HKEY key, LPCSTR subKey);

// Deletes a key with all its subkeys and values. With `subKey` empty or null,
// deletes the subkeys and values of `key` itself but keeps the key.
VORN_API LSTATUS RegDeleteTreeA(HKEY key, LPCSTR subKey);

// Enumerates the subkeys of `key` in name order. *cchName holds the buffer's
// size in characters and receives the name's length without its NUL.
// ERROR_NO_MORE_ITEMS past the last; ERROR_MORE_DATA when the name does not fit
// (nothing is written then; *cchName receives the length needed, without the
// NUL). Keys have no class name and no write time here: `className` receives
// an empty string and *lastWriteTime zero.
VORN_API LSTATUS RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD cchName,
                               LPDWORD reserved, LPSTR className, LPDWORD cchClassName,
                               FILETIME* lastWriteTime);

// Enumerates the values of `key` in name order, as RegEnumKeyExA does keys.
// ERROR_MORE_DATA when the name or the data does not fit: nothing is written
// then, and *cchValueName and *cbData receive the sizes needed.
VORN_API LSTATUS RegEnumValueA(HKEY key, DWORD index, LPSTR valueName, LPDWORD cchValueName,
                               LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD cbData);

VORN_API LSTATUS RegCloseKey(HKEY key);
