// The MIME object model: a parsed message, its bodies (the parts of the MIME
// tree, named by 32-bit handles), body objects and header property sets.
//
// Declarations only; the MIME library (vornmime.so) implements them.
// Every status is a result code; negative is failure.
#pragma once

#include "platform/propvariant.h"
#include "platform/unknown.h"

constexpr CLSID CLSID_IMimeAllocator = MakeGuid("{FD853CDD-7F86-11D0-8252-00C04FD85AB4}");
constexpr IID IID_IMimeAllocator = MakeGuid("{C5588351-7F86-11D0-8252-00C04FD85AB4}");
constexpr IID IID_IMimeMessage = MakeGuid("{FD853CD5-7F86-11D0-8252-00C04FD85AB4}");
constexpr IID IID_IMimePropertySet = MakeGuid("{FD853CD3-7F86-11D0-8252-00C04FD85AB4}");
constexpr IID IID_IMimeBody = MakeGuid("{C558834C-7F86-11D0-8252-00C04FD85AB4}");

// Extension: the MIME library's message class. CoCreateInstance for
// IID_IMimeMessage gives an empty message, loaded with
// IPersistStreamInit::Load from a stream holding the raw message text.
constexpr CLSID CLSID_VornMimeMessage = MakeGuid("{C3282849-2630-4F88-8E49-7D31E099BF46}");

// A body (part) of one message; 0 names none.
typedef uint32_t HBODY;
typedef HBODY* LPHBODY;
constexpr HBODY HBODY_NULL = 0;

enum BODYLOCATION : DWORD {
  IBL_ROOT = 0,
  IBL_PARENT = 1,
  IBL_FIRST = 2,  // first child of the pivot
  IBL_LAST = 3,   // last child of the pivot
  IBL_NEXT = 4,   // next sibling of the pivot
  IBL_PREVIOUS = 5,
};

enum IMSGBODYTYPE : DWORD {
  IBT_ATTACHMENT = 1,
  IBT_EMPTY = 2,  // a body without data
};

enum ENCODINGTYPE : DWORD {
  IET_BINARY = 0,   // the data as stored, transfer encoding included
  IET_DECODED = 1,  // the data after transfer decoding
  IET_UNICODE = 7,  // text as UTF-16LE after transfer and charset decoding
};

// Property identifiers, passed where a property name is expected (PIDTOSTR).
constexpr DWORD PID_HDR_CNTTYPE = 18;  // the Content-Type header, as "type/subtype"

inline LPCSTR PIDTOSTR(DWORD pid) {
  return reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(pid));
}
// True when a name argument carries a property identifier, not a string.
inline bool ISPIDSTR(LPCSTR name) {
  return reinterpret_cast<uintptr_t>(name) < 0x10000u;
}

constexpr HRESULT MIME_E_NOT_FOUND = MakeHresult(0x800CCE05u);
constexpr HRESULT MIME_E_INVALID_HANDLE = MakeHresult(0x800CCE07u);
constexpr HRESULT MIME_E_NO_DATA = MakeHresult(0x800CCE0Au);

// Flags of IMimePropertySet::GetProp for address fields (From, To, Cc, ...).
constexpr DWORD PDF_DISPLAYNAMES = 0x1;  // each mailbox's display name, else its address
constexpr DWORD PDF_ADDRESSES = 0x2;     // each mailbox's address only

// Extension: name of the pseudo-property holding the charset of the text the
// message shows (lower case, "" when it shows none), for
// IMimePropertySet::GetProp. Without a declared charset it is the one the
// text is read in: "us-ascii" for 7-bit text, "utf-8" for valid UTF-8, else
// "windows-1252".
constexpr LPCSTR PIDSTR_MAIN_CHARSET = "X-Vorn-Main-Charset";

struct IMimeAllocator : IUnknown {
  // Task-memory allocation on behalf of the MIME library's callers.
  virtual void* Alloc(SIZE_T cb) = 0;
  virtual void Free(void* pv) = 0;

 protected:
  ~IMimeAllocator() = default;
};
VORN_INTERFACE_ID(IMimeAllocator, IID_IMimeAllocator);

struct IMimePropertySet : IUnknown {
  // Extension: reads header field `name` (a field name such as "Subject", a
  // PIDTOSTR identifier, or PIDSTR_MAIN_CHARSET) of the body this set is
  // bound to. `value->vt` chooses the form on entry:
  //  - VT_LPSTR: the field's text unfolded and decoded (RFC 2047) to UTF-8;
  //    for address fields with PDF_DISPLAYNAMES or PDF_ADDRESSES, the
  //    mailboxes' names or addresses joined with "; ".
  //  - VT_FILETIME: a date field as the UTC instant; a date before 1601 or
  //    past the largest FILETIME cannot be given in this form.
  // The string is allocated with CoTaskMemAlloc; free it with
  // PropVariantClear. MIME_E_NOT_FOUND when the field is absent, a negative
  // status when it cannot be given in the asked form.
  virtual HRESULT GetProp(LPCSTR name, DWORD flags, LPPROPVARIANT value) = 0;

 protected:
  ~IMimePropertySet() = default;
};
VORN_INTERFACE_ID(IMimePropertySet, IID_IMimePropertySet);

struct IMimeBody : IUnknown {
  // The body's display name (a file's base name, UTF-8), allocated with
  // CoTaskMemAlloc (caller frees). An attachment without a file name gets
  // one made for it (an enclosed message "<subject>.eml", another body
  // "attachment-N.<extension>"); "" for a body that is no attachment and
  // has no file name.
  virtual HRESULT GetDisplayName(LPSTR* name) = 0;
  // A new stream (caller releases) over the body's data in `encoding`.
  virtual HRESULT GetData(ENCODINGTYPE encoding, IStream** stream) = 0;

 protected:
  ~IMimeBody() = default;
};
VORN_INTERFACE_ID(IMimeBody, IID_IMimeBody);

struct IMimeMessage : IUnknown {
  // Finds the body at `location` relative to `pivot` (HBODY_NULL for
  // IBL_ROOT). MIME_E_NOT_FOUND when there is none.
  virtual HRESULT GetBody(BODYLOCATION location, HBODY pivot, LPHBODY body) = 0;
  // A new IMimeBody or IMimePropertySet object (caller releases) for `body`.
  virtual HRESULT BindToObject(HBODY body, REFIID riid, void** object) = 0;
  // Reads a header property of `body`, as IMimePropertySet::GetProp does. For
  // PID_HDR_CNTTYPE with VT_LPSTR, the effective "type/subtype" in lower case.
  virtual HRESULT GetBodyProp(HBODY body, LPCSTR name, DWORD flags, LPPROPVARIANT value) = 0;
  // The bodies listed as attachments: *count handles in *bodies, an array
  // allocated with CoTaskMemAlloc (caller frees); *bodies is null when the
  // count is 0.
  virtual HRESULT GetAttachments(ULONG* count, LPHBODY* bodies) = 0;
  // S_OK when `body` is of `type`, S_FALSE when not.
  virtual HRESULT IsBodyType(HBODY body, IMSGBODYTYPE type) = 0;

 protected:
  ~IMimeMessage() = default;
};
VORN_INTERFACE_ID(IMimeMessage, IID_IMimeMessage);
