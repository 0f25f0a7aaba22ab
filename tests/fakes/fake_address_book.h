// Fake address book: contents-table rows a test describes, served through
// IAddrBook, IWABObject, IABContainer and IMAPITable objects that log every
// call, consult the shared fault injector and count every buffer.
//
// The code under test reaches it the way it reaches the real one: through
// the library path registered under HKEY_LOCAL_MACHINE\WAB_DLL_PATH_KEY and
// that library's WABOpen export. FakeWabModule (below) registers the path of
// the fake's library (vornfakewab.so, built next to the tests), loads it and
// points its WABOpen at a FakeAddressBook:
//
//   vorn_fakes::FakeEnv env;
//   vorn_fakes::FakeAddressBook book(env);
//   book.AddContact("Ann Smith", "ann", "ann@example.org");
//   book.rows.push_back({WabProp::Unicode(PR_DISPLAY_NAME_W, u"wide only")});
//   vorn_fakes::FakeWabModule module(book);     // registry value + library
//   ... code under test opens the session and loads the contacts ...
//   EXPECT_EQ(book.BuffersFreed(), book.BuffersHandedOut());
//   EXPECT_THAT(env.log.LiveObjects(), IsEmpty());
//
// What it hands out:
//  - WABOpen: a new "AddrBook" and a new "WABObject" (both null on failure).
//  - GetPAB: a buffer holding `pabEntryId` (label "entryid").
//  - OpenEntry of that identifier (any other: MAPI_E_INVALID_ENTRYID), with
//    iid null or IID_IABContainer: for objectType MAPI_ABCONT a new
//    "ABContainer" (as an IABContainer pointer), otherwise a new "MailUser"
//    object; *objType = objectType.
//  - GetContentsTable: a new "MAPITable" with its own cursor over `rows`.
//  - GetRowCount: rowCount when set, else the number of rows.
//  - QueryRows(n): up to n rows from the cursor, which moves past them; the
//    row set is one buffer (label "rowset"), each row's lpProps another
//    (label "row<i>", i counted from the start of the table; allocated also
//    for a row without values), strings and binaries are allocated more on
//    their row's buffer. Properties keep their order and tags, repeated tags
//    included.
// Every buffer is counted: BuffersHandedOut() counts AllocateBuffer blocks
// (those the book hands out and those the caller asks for), BuffersFreed()
// the blocks FreeBuffer freed. FreeBuffer of a block freed already, of an
// AllocateMore block, or of memory the book never handed out is recorded in
// log.Errors() and frees nothing.
//
// Status knobs: a negative status fails its call (out-values null or 0). Only
// S_OK is success for this interface; a positive status is returned with no
// out-values, unless handOutOnWarning is set, in which case the out-values
// are handed out as on success (and then have to be given back).
//
// Faultable: WABOpen, GetPAB, OpenEntry, GetContentsTable, GetRowCount,
// QueryRows, AllocateBuffer, AllocateMore. FreeBuffer is logged only (arg
// "buffer": the label, "null" or "unknown").
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/loader.h"
#include "platform/wab.h"
#include "runtime/com_ptr.h"
#include "tests/fakes/fake_env.h"
#include "tests/fakes/fake_wab_hooks.h"

namespace vorn_fakes {

// One property value of a row.
struct WabProp {
  ULONG tag = 0;
  std::string text;          // PT_STRING8
  bool nullText = false;     // PT_STRING8 with a null lpszA
  std::u16string wide;       // PT_UNICODE
  LONG number = 0;           // PT_LONG, PT_I2, PT_BOOLEAN
  SCODE error = S_OK;        // PT_ERROR
  std::vector<BYTE> binary;  // PT_BINARY

  static WabProp String8(ULONG tag, std::string value);
  static WabProp NullString8(ULONG tag);
  static WabProp Unicode(ULONG tag, std::u16string value);
  // `tag` keeps its identifier; its type becomes PT_ERROR.
  static WabProp Error(ULONG tag, SCODE error);
  static WabProp Long(ULONG tag, LONG value);
  static WabProp Binary(ULONG tag, std::vector<BYTE> value);
};
using WabRow = std::vector<WabProp>;

class FakeAddressBook {
 public:
  explicit FakeAddressBook(FakeEnv& env);
  ~FakeAddressBook();
  FakeAddressBook(const FakeAddressBook&) = delete;
  FakeAddressBook& operator=(const FakeAddressBook&) = delete;

  // --- describing the book --------------------------------------------------
  // The rows of the contents table, in table order (a deque, so references
  // to rows stay valid while more are added). A table takes a copy when it
  // is made.
  std::deque<WabRow> rows;
  // Appends a row with PR_ENTRYID, PR_OBJECT_TYPE (MAPI_MAILUSER) and the
  // three 8-bit texts (each left out when its argument is null).
  WabRow& AddContact(const char* displayName, const char* nickname, const char* email);

  // --- knobs ----------------------------------------------------------------
  HRESULT wabOpenStatus = S_OK;
  HRESULT getPabStatus = S_OK;
  std::vector<BYTE> pabEntryId = {0, 0, 0, 0, 'P', 'A', 'B', 0};
  HRESULT openEntryStatus = S_OK;
  ULONG objectType = MAPI_ABCONT;
  HRESULT contentsTableStatus = S_OK;
  HRESULT rowCountStatus = S_OK;
  std::optional<ULONG> rowCount;
  HRESULT queryRowsStatus = S_OK;
  bool handOutOnWarning = false;

  // Optional wrappers applied to objects before they are handed out.
  std::function<ComPtr<IAddrBook>(ComPtr<IAddrBook>)> wrapAddrBook;
  std::function<ComPtr<IWABObject>(ComPtr<IWABObject>)> wrapWabObject;
  std::function<ComPtr<IABContainer>(ComPtr<IABContainer>)> wrapContainer;
  std::function<ComPtr<IMAPITable>(ComPtr<IMAPITable>)> wrapTable;

  // --- serving --------------------------------------------------------------
  // What the library's WABOpen does: logged as "WABOpen" (args params,
  // reserved; and cbSize, szFileName, ulFlags when params is set).
  HRESULT Open(LPADRBOOK* addrBook, LPWABOBJECT* wabObject, LPWAB_PARAM params, DWORD reserved);

  // --- observing ------------------------------------------------------------
  int BuffersHandedOut() const { return allocated_; }
  int BuffersFreed() const { return freed_; }
  // Labels of blocks not yet freed.
  std::vector<std::string> LiveBuffers() const;

  FakeEnv& env() const { return env_; }

  // --- for the fake objects -------------------------------------------------
  // AllocateBuffer: a zeroed block of `cb` bytes labelled `label`.
  void* Allocate(ULONG cb, std::string label);
  // AllocateMore: a zeroed block tied to `base`; null when `base` is not a
  // live block.
  void* AllocateMore(ULONG cb, void* base);
  // FreeBuffer: frees `block` and its AllocateMore blocks; returns the
  // block's label ("null", or "unknown" when it is not a live block).
  std::string Free(void* block, HRESULT* status);

 private:
  struct Block {
    std::string label;
    std::vector<void*> more;
  };
  FakeEnv& env_;
  std::map<void*, Block> blocks_;
  std::map<void*, void*> moreToBase_;
  int allocated_ = 0;
  int freed_ = 0;
};

// The path of the fake address book library, and of the one without a
// WABOpen export (both built next to the tests).
std::string FakeWabLibraryPath();
std::string FakeWabLibraryWithoutEntryPath();

// RAII: loads the library at `path` with LoadLibraryA and points its WABOpen
// at `book` (null: leaves it unconfigured, so its WABOpen fails with
// E_UNEXPECTED). At the end it detaches the book and undoes its own load.
// The loader hands the same library to every load of the same path, so code
// under test that loads the path meanwhile reaches `book` too.
class FakeWabLibrary {
 public:
  explicit FakeWabLibrary(FakeAddressBook* book, const std::string& path = FakeWabLibraryPath());
  ~FakeWabLibrary();
  FakeWabLibrary(const FakeWabLibrary&) = delete;
  FakeWabLibrary& operator=(const FakeWabLibrary&) = delete;

  bool loaded() const { return module_ != nullptr; }
  HMODULE module() const { return module_; }
  // The library's WABOpen export (null for the library without it).
  LPWABOPEN wabOpen() const;

 private:
  HMODULE module_ = nullptr;
};

// Sets the default value of HKEY_LOCAL_MACHINE\WAB_DLL_PATH_KEY to `path`
// (creating the key); returns the registry's status.
LONG RegisterWabPath(const std::string& path);
// Deletes that key; returns the registry's status.
LONG UnregisterWabPath();

// RAII: registers `path` as the address book library where a session looks
// for it, and attaches `book` to that library as FakeWabLibrary does. At the
// end the library is detached and released and the registry key removed.
//
//   FakeWabModule present(&book);                                  // WABOpen serves book
//   FakeWabModule failing(&book); book.wabOpenStatus = E_FAIL;     // WABOpen fails
//   FakeWabModule noEntry(nullptr, FakeWabLibraryWithoutEntryPath());  // no WABOpen
//   FakeWabModule missing(nullptr, "/nonexistent/wab.so");         // nothing loads
class FakeWabModule {
 public:
  explicit FakeWabModule(FakeAddressBook* book, std::string path = FakeWabLibraryPath());
  ~FakeWabModule();
  FakeWabModule(const FakeWabModule&) = delete;
  FakeWabModule& operator=(const FakeWabModule&) = delete;

  // True when the registry value was written (the library may still fail
  // to load, as for a missing path).
  bool registered() const { return registered_; }
  const std::string& path() const { return path_; }
  const FakeWabLibrary& library() const { return library_; }

 private:
  std::string path_;
  bool registered_;
  FakeWabLibrary library_;
};

}  // namespace vorn_fakes
