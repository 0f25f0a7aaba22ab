// The address book: a library exporting WABOpen, which hands out the address
// book (entries, containers, contents tables of property rows) and a helper
// object that owns the buffers the address book allocates.
//
// Declarations only; the address book library (vornwab.so) implements them.
// Every status is a result code; only S_OK (0) is success.
#pragma once

#include "platform/unknown.h"

constexpr IID IID_IAddrBook = MakeGuid("{C2D17FBD-0B9B-4E72-B37E-653BEB286CF3}");
constexpr IID IID_IWABObject = MakeGuid("{77C055B2-0DE2-4333-A692-50AFC8010D0C}");
constexpr IID IID_IABContainer = MakeGuid("{7E16C22F-DE29-48DC-9E8E-DF9A95522C6D}");
constexpr IID IID_IMAPITable = MakeGuid("{424D82E1-1AA7-4EAB-AC75-ECC21141D28B}");

// Where the address book library registers its own path: the default value of
// this key under HKEY_LOCAL_MACHINE.
constexpr LPCSTR WAB_DLL_PATH_KEY = "Software\\Microsoft\\WAB\\DLLPath";
// Extension: the capacity, terminating zero included, of the buffer into which
// the session reads that path. The library refuses to register a longer path,
// which the session could not load.
constexpr DWORD WAB_DLL_PATH_SIZE = 256;
// The exported entry point's name.
constexpr LPCSTR WAB_OPEN_ENTRY = "WABOpen";

// Extension: where the address book library finds its vCard files. The value
// WAB_CONTACTS_PATH_VALUE (a string) of this key under HKEY_CURRENT_USER names
// one vCard file or a folder of .vcf files; a relative path is taken from the
// platform's root folder. Without it the library reads the folder "contacts"
// of the platform's root.
constexpr LPCSTR WAB_CONTACTS_KEY = "Software\\Vorn\\AddressBook";
constexpr LPCSTR WAB_CONTACTS_PATH_VALUE = "Path";

// Property tags: the property's identifier in the high 16 bits, its type in
// the low 16 bits.
constexpr ULONG PROP_TYPE(ULONG tag) { return tag & 0xFFFFu; }
constexpr ULONG PROP_ID(ULONG tag) { return tag >> 16; }
constexpr ULONG PROP_TAG(ULONG type, ULONG id) { return (id << 16) | type; }

constexpr ULONG PT_UNSPECIFIED = 0x0000;
constexpr ULONG PT_NULL = 0x0001;
constexpr ULONG PT_I2 = 0x0002;
constexpr ULONG PT_LONG = 0x0003;
constexpr ULONG PT_BOOLEAN = 0x000B;
constexpr ULONG PT_ERROR = 0x000A;
constexpr ULONG PT_STRING8 = 0x001E;  // 8-bit string (UTF-8 on this platform)
constexpr ULONG PT_UNICODE = 0x001F;  // UTF-16 string
constexpr ULONG PT_SYSTIME = 0x0040;
constexpr ULONG PT_BINARY = 0x0102;

constexpr ULONG PR_ENTRYID = PROP_TAG(PT_BINARY, 0x0FFF);
constexpr ULONG PR_OBJECT_TYPE = PROP_TAG(PT_LONG, 0x0FFE);
constexpr ULONG PR_DISPLAY_NAME_A = PROP_TAG(PT_STRING8, 0x3001);
constexpr ULONG PR_DISPLAY_NAME_W = PROP_TAG(PT_UNICODE, 0x3001);
constexpr ULONG PR_EMAIL_ADDRESS_A = PROP_TAG(PT_STRING8, 0x3003);
constexpr ULONG PR_EMAIL_ADDRESS_W = PROP_TAG(PT_UNICODE, 0x3003);
constexpr ULONG PR_NICKNAME_A = PROP_TAG(PT_STRING8, 0x3A4F);
constexpr ULONG PR_NICKNAME_W = PROP_TAG(PT_UNICODE, 0x3A4F);

// Object types (OpenEntry, PR_OBJECT_TYPE).
constexpr ULONG MAPI_ABCONT = 4;    // an address book container
constexpr ULONG MAPI_MAILUSER = 6;  // a contact
constexpr ULONG MAPI_DISTLIST = 8;

// OpenEntry flags.
constexpr ULONG MAPI_MODIFY = 0x1;
constexpr ULONG MAPI_BEST_ACCESS = 0x10;

constexpr HRESULT MAPI_E_NO_SUPPORT = MakeHresult(0x80040102u);
constexpr HRESULT MAPI_E_INVALID_ENTRYID = MakeHresult(0x80040107u);
constexpr HRESULT MAPI_E_NOT_FOUND = MakeHresult(0x8004010Fu);
constexpr HRESULT MAPI_E_NOT_ENOUGH_MEMORY = E_OUTOFMEMORY;
constexpr HRESULT MAPI_E_INVALID_PARAMETER = E_INVALIDARG;
constexpr HRESULT MAPI_E_CALL_FAILED = E_FAIL;

// An entry identifier: four flag bytes, then provider data. Always handled
// through a pointer with its size in bytes beside it.
struct ENTRYID {
  BYTE abFlags[4];
  BYTE ab[1];
};
typedef ENTRYID* LPENTRYID;

struct SBinary {
  ULONG cb;
  LPBYTE lpb;
};

union PV {
  SHORT i;
  LONG l;
  ULONG ul;
  double dbl;
  USHORT b;
  LPSTR lpszA;   // PT_STRING8
  LPWSTR lpszW;  // PT_UNICODE
  SCODE err;     // PT_ERROR
  LONGLONG li;
  FILETIME ft;
  SBinary bin;
};

struct SPropValue {
  ULONG ulPropTag;
  ULONG dwAlignPad;
  PV Value;
};
typedef SPropValue* LPSPropValue;

struct SRow {
  ULONG ulAdrEntryPad;
  ULONG cValues;
  LPSPropValue lpProps;  // cValues values; one buffer of its own
};
typedef SRow* LPSRow;

// A row set: cRows rows stored in place after the count.
struct SRowSet {
  ULONG cRows;
  SRow aRow[1];
};
typedef SRowSet* LPSRowSet;

// Bytes of a row set holding `rows` rows.
constexpr SIZE_T CbNewSRowSet(ULONG rows) {
  return offsetof(SRowSet, aRow) + sizeof(SRow) * (rows == 0 ? 1 : rows);
}

struct IMAPITable : IUnknown {
  // The number of rows of the table.
  virtual HRESULT GetRowCount(ULONG flags, ULONG* count) = 0;
  // Up to `rowCount` rows from the current position, which then moves past
  // them. The row set and each row's lpProps are buffers the caller frees with
  // IWABObject::FreeBuffer.
  virtual HRESULT QueryRows(LONG rowCount, ULONG flags, LPSRowSet* rows) = 0;

 protected:
  ~IMAPITable() = default;
};
typedef IMAPITable* LPMAPITABLE;
VORN_INTERFACE_ID(IMAPITable, IID_IMAPITable);

struct IABContainer : IUnknown {
  // A new table (caller releases) with one row per entry of the container.
  virtual HRESULT GetContentsTable(ULONG flags, LPMAPITABLE* table) = 0;

 protected:
  ~IABContainer() = default;
};
typedef IABContainer* LPABCONT;
VORN_INTERFACE_ID(IABContainer, IID_IABContainer);

struct IAddrBook : IUnknown {
  // The entry identifier of the personal address book: *entryId is a buffer
  // the caller frees with IWABObject::FreeBuffer, *cbEntryId its size.
  virtual HRESULT GetPAB(ULONG* cbEntryId, LPENTRYID* entryId) = 0;
  // Opens an entry. With `iid` null the object comes as its default interface:
  // an IABContainer for a MAPI_ABCONT entry. *objType receives the type and
  // *object (caller releases) the object.
  virtual HRESULT OpenEntry(ULONG cbEntryId, LPENTRYID entryId, LPCIID iid, ULONG flags,
                            ULONG* objType, LPUNKNOWN* object) = 0;

 protected:
  ~IAddrBook() = default;
};
typedef IAddrBook* LPADRBOOK;
VORN_INTERFACE_ID(IAddrBook, IID_IAddrBook);

struct IWABObject : IUnknown {
  // A buffer of `cb` bytes, freed with FreeBuffer.
  virtual HRESULT AllocateBuffer(ULONG cb, LPVOID* buffer) = 0;
  // A buffer tied to `base`: freed together with it.
  virtual HRESULT AllocateMore(ULONG cb, LPVOID base, LPVOID* buffer) = 0;
  // Frees a buffer from AllocateBuffer (or handed out by the address book) and
  // everything allocated more on it. Null is accepted.
  virtual HRESULT FreeBuffer(LPVOID buffer) = 0;

 protected:
  ~IWABObject() = default;
};
typedef IWABObject* LPWABOBJECT;
VORN_INTERFACE_ID(IWABObject, IID_IWABObject);

struct WAB_PARAM {
  ULONG cbSize;
  HWND hwnd;
  LPSTR szFileName;  // an address book file, or null for the default
  ULONG ulFlags;
};
typedef WAB_PARAM* LPWAB_PARAM;

// Opens the address book: *addrBook and *wabObject (caller releases both) on
// S_OK, both null otherwise. `params` may be null.
typedef HRESULT (*LPWABOPEN)(LPADRBOOK* addrBook, LPWABOBJECT* wabObject, LPWAB_PARAM params,
                             DWORD reserved);
