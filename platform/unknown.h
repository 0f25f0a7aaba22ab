// The base interfaces of the component platform: reference counting and
// interface negotiation, class factories, byte streams and stream persistence.
//
// Declarations only.
//
// Conventions for every interface of the platform:
//  - Interfaces are abstract classes called through their virtual table. An
//    object lives until its last reference is released; no caller deletes one.
//  - An out-parameter interface pointer is owned by the caller, who releases
//    it. On failure it is set to null where the method says so.
//  - No exception leaves a method; failures are negative result codes.
#pragma once

#include "platform/types.h"

constexpr IID IID_IUnknown = MakeGuid("{00000000-0000-0000-C000-000000000046}");
constexpr IID IID_IClassFactory = MakeGuid("{00000001-0000-0000-C000-000000000046}");
constexpr IID IID_ISequentialStream = MakeGuid("{0C733A30-2A1C-11CE-ADE5-00AA0044773D}");
constexpr IID IID_IStream = MakeGuid("{0000000C-0000-0000-C000-000000000046}");
constexpr IID IID_IPersist = MakeGuid("{0000010C-0000-0000-C000-000000000046}");
constexpr IID IID_IPersistStreamInit = MakeGuid("{7FD52380-4E07-101B-AE2D-08002B2EC713}");

struct IUnknown {
  // On success stores an added reference to the object's `riid` interface in
  // *ppv and returns S_OK; otherwise sets *ppv to null and returns
  // E_NOINTERFACE (E_POINTER when ppv is null).
  virtual HRESULT QueryInterface(REFIID riid, void** ppv) = 0;
  // Return the new reference count, for diagnostics only.
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  ~IUnknown() = default;
};
typedef IUnknown* LPUNKNOWN;
VORN_INTERFACE_ID(IUnknown, IID_IUnknown);

struct IClassFactory : IUnknown {
  // Creates a new object and returns its `riid` interface in *ppv (caller
  // owns). A non-null `outer` is refused with CLASS_E_NOAGGREGATION.
  virtual HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) = 0;
  // TRUE keeps the server loaded while the lock is held; FALSE undoes one lock.
  virtual HRESULT LockServer(BOOL lock) = 0;

 protected:
  ~IClassFactory() = default;
};
VORN_INTERFACE_ID(IClassFactory, IID_IClassFactory);

struct ISequentialStream : IUnknown {
  // Reads up to `cb` bytes into `pv`. Returns S_OK and the count in *pcbRead
  // (which may be null); a count of 0 means the end of the stream.
  virtual HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) = 0;
  // Writes `cb` bytes from `pv`. Returns S_OK when all were taken, with the
  // count in *pcbWritten (which may be null).
  virtual HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) = 0;

 protected:
  ~ISequentialStream() = default;
};
VORN_INTERFACE_ID(ISequentialStream, IID_ISequentialStream);

enum STREAM_SEEK : DWORD {
  STREAM_SEEK_SET = 0,
  STREAM_SEEK_CUR = 1,
  STREAM_SEEK_END = 2,
};

// What IStream::Stat reports. Only the size is kept on this platform.
struct STATSTG {
  ULARGE_INTEGER cbSize;
};

struct IStream : ISequentialStream {
  // Moves the position; the new absolute position goes to *newPosition when
  // it is not null. A position before the start is refused with
  // STG_E_INVALIDFUNCTION.
  virtual HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) = 0;
  virtual HRESULT SetSize(ULARGE_INTEGER newSize) = 0;
  virtual HRESULT Stat(STATSTG* stat, DWORD flags) = 0;

 protected:
  ~IStream() = default;
};
typedef IStream* LPSTREAM;
VORN_INTERFACE_ID(IStream, IID_IStream);

struct IPersist : IUnknown {
  virtual HRESULT GetClassID(CLSID* clsid) = 0;

 protected:
  ~IPersist() = default;
};
VORN_INTERFACE_ID(IPersist, IID_IPersist);

struct IPersistStreamInit : IPersist {
  // S_OK when the object changed since it was last saved, S_FALSE otherwise.
  virtual HRESULT IsDirty() = 0;
  // Replaces the object's state with what `stream` holds from its current
  // position. A stream that does not hold this object's state is refused and
  // the state is left as it was.
  virtual HRESULT Load(IStream* stream) = 0;
  virtual HRESULT Save(IStream* stream, BOOL clearDirty) = 0;
  virtual HRESULT GetSizeMax(ULARGE_INTEGER* size) = 0;
  // Gives a new object its initial state.
  virtual HRESULT InitNew() = 0;

 protected:
  ~IPersistStreamInit() = default;
};
VORN_INTERFACE_ID(IPersistStreamInit, IID_IPersistStreamInit);
