// TypeLibWriter: builds a type library in this platform's serialised form,
// which LoadTypeLib and VornLoadTypeLibFromMemory read back.
//
// The serialised form, version 1.0. All integers are little-endian; a
// string is a u32 byte count followed by that many bytes of UTF-8 (no NUL,
// at most 65535 bytes).
//
//   header (16 bytes)
//     magic        4  "VTLB"
//     major        u16  1; a reader refuses another major version
//     minor        u16  0; a later minor version only appends fields that
//                  an older reader skips (see "extra" below)
//     body size    u32  bytes that follow the header; the data ends exactly there
//     body crc     u32  CRC-32 (the zlib polynomial) of the body
//   body
//     library      guid(16) lcid(u32) major(u16) minor(u16) libflags(u16)
//                  syskind(u16) helpcontext(u32) name(str) doc(str)
//                  helpfile(str) typecount(u16)
//     typecount types, each
//                  kind(u16) typeflags(u16) guid(16) major(u16) minor(u16)
//                  helpcontext(u32) name(str) doc(str)
//                  [TKIND_ALIAS only] aliased typedesc
//                  implcount(u16), each: href(u32) implflags(u32)
//                  funccount(u16), each:
//                    memid(i32) invkind(u16) funcflags(u16) helpcontext(u32)
//                    name(str) doc(str) result typedesc paramcount(u16),
//                    each: name(str) typedesc paramflags(u16)
//     extra        for minor > 0: bytes an older reader ignores
//   typedesc       vt(u16); VT_PTR: the pointed-to typedesc follows (at most
//                  8 deep); VT_USERDEFINED: href(u32)
//
// A HREFTYPE is the index of a type of the same library. A reader refuses
// data that is truncated, has another magic, a wrong size or checksum, an
// href that names no type, an implemented type that is not an interface, a
// member id used twice in one type, or an empty type or member name.
#pragma once

#include <string>
#include <vector>

#include "platform/typelib.h"

class VORN_API TypeLibWriter {
 public:
  // A parameter or result type: a VT_ code, or VT_USERDEFINED with the index
  // of another type of this library (from AddType).
  struct Type {
    VARTYPE vt = VT_EMPTY;
    HREFTYPE href = 0;
  };
  struct Param {
    std::string name;
    Type type;
    USHORT flags = PARAMFLAG_FIN;
  };

  TypeLibWriter() = default;
  TypeLibWriter(const TypeLibWriter&) = delete;
  TypeLibWriter& operator=(const TypeLibWriter&) = delete;

  void SetLibrary(const GUID& libid, const std::string& name, WORD major, WORD minor, LCID lcid,
                  WORD libFlags, const std::string& helpString, const std::string& helpFile);

  // Adds a type and returns its index, which is also its HREFTYPE.
  HREFTYPE AddType(TYPEKIND kind, const std::string& name, const GUID& guid, WORD typeFlags,
                   const std::string& helpString);
  // The aliased type of a TKIND_ALIAS type.
  void SetAlias(HREFTYPE type, Type aliased);
  // An interface that `type` (a coclass) implements, or the base of an
  // interface.
  void AddImplType(HREFTYPE type, HREFTYPE implemented, INT implFlags);
  void AddFunction(HREFTYPE type, MEMBERID memid, const std::string& name, INVOKEKIND invkind,
                   Type result, const std::vector<Param>& params,
                   const std::string& helpString = std::string(), WORD funcFlags = 0);

  // The serialised form of everything added so far.
  std::vector<BYTE> Serialize() const;

 private:
  struct Function {
    MEMBERID memid;
    std::string name;
    INVOKEKIND invkind;
    Type result;
    std::vector<Param> params;
    std::string doc;
    WORD flags;
  };
  struct TypeEntry {
    TYPEKIND kind;
    std::string name;
    GUID guid;
    WORD flags;
    std::string doc;
    Type alias;
    std::vector<std::pair<HREFTYPE, INT>> impls;
    std::vector<Function> functions;
  };

  GUID libid_ = GUID_NULL;
  std::string name_;
  WORD major_ = 0;
  WORD minor_ = 0;
  LCID lcid_ = 0;
  WORD libFlags_ = 0;
  std::string helpString_;
  std::string helpFile_;
  std::vector<TypeEntry> types_;
};

// The CRC-32 that guards the serialised body.
VORN_API uint32_t VornTypeLibChecksum(const BYTE* data, size_t size);
