// Writing the serialised form of a type library (described in
// typelib_writer.h).

#include "runtime/typelib_writer.h"

#include <array>
#include <cstring>

namespace {

class Output {
 public:
  void U16(WORD v) { Bytes(&v, 2); }
  void U32(DWORD v) { Bytes(&v, 4); }
  void I32(LONG v) { Bytes(&v, 4); }
  void Guid(const GUID& g) {
    U32(g.Data1);
    U16(g.Data2);
    U16(g.Data3);
    Bytes(g.Data4, 8);
  }
  void Str(const std::string& s) {
    const size_t n = s.size() > 0xFFFF ? 0xFFFF : s.size();
    U32(static_cast<DWORD>(n));
    Bytes(s.data(), n);
  }
  void Type(const TypeLibWriter::Type& t) {
    U16(t.vt);
    if (t.vt == VT_USERDEFINED) U32(t.href);
  }
  void Bytes(const void* p, size_t n) {
    const auto* b = static_cast<const BYTE*>(p);
    data.insert(data.end(), b, b + n);  // the platform is little-endian
  }
  std::vector<BYTE> data;
};

}  // namespace

uint32_t VornTypeLibChecksum(const BYTE* data, size_t size) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

void TypeLibWriter::SetLibrary(const GUID& libid, const std::string& name, WORD major,
                               WORD minor, LCID lcid, WORD libFlags,
                               const std::string& helpString, const std::string& helpFile) {
  libid_ = libid;
  name_ = name;
  major_ = major;
  minor_ = minor;
  lcid_ = lcid;
  libFlags_ = libFlags;
  helpString_ = helpString;
  helpFile_ = helpFile;
}

HREFTYPE TypeLibWriter::AddType(TYPEKIND kind, const std::string& name, const GUID& guid,
                                WORD typeFlags, const std::string& helpString) {
  types_.push_back(TypeEntry{kind, name, guid, typeFlags, helpString, {}, {}, {}});
  return static_cast<HREFTYPE>(types_.size() - 1);
}

void TypeLibWriter::SetAlias(HREFTYPE type, Type aliased) { types_.at(type).alias = aliased; }

void TypeLibWriter::AddImplType(HREFTYPE type, HREFTYPE implemented, INT implFlags) {
  types_.at(type).impls.emplace_back(implemented, implFlags);
}

void TypeLibWriter::AddFunction(HREFTYPE type, MEMBERID memid, const std::string& name,
                                INVOKEKIND invkind, Type result,
                                const std::vector<Param>& params, const std::string& helpString,
                                WORD funcFlags) {
  types_.at(type).functions.push_back(
      Function{memid, name, invkind, result, params, helpString, funcFlags});
}

std::vector<BYTE> TypeLibWriter::Serialize() const {
  Output body;
  body.Guid(libid_);
  body.U32(lcid_);
  body.U16(major_);
  body.U16(minor_);
  body.U16(libFlags_);
  body.U16(static_cast<WORD>(sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32));
  body.U32(0);
  body.Str(name_);
  body.Str(helpString_);
  body.Str(helpFile_);
  body.U16(static_cast<WORD>(types_.size()));
  for (const TypeEntry& t : types_) {
    body.U16(static_cast<WORD>(t.kind));
    body.U16(t.flags);
    body.Guid(t.guid);
    body.U16(major_);
    body.U16(minor_);
    body.U32(0);
    body.Str(t.name);
    body.Str(t.doc);
    if (t.kind == TKIND_ALIAS) body.Type(t.alias);
    body.U16(static_cast<WORD>(t.impls.size()));
    for (const auto& [href, flags] : t.impls) {
      body.U32(href);
      body.U32(static_cast<DWORD>(flags));
    }
    body.U16(static_cast<WORD>(t.functions.size()));
    for (const Function& f : t.functions) {
      body.I32(f.memid);
      body.U16(static_cast<WORD>(f.invkind));
      body.U16(f.flags);
      body.U32(0);
      body.Str(f.name);
      body.Str(f.doc);
      body.Type(f.result);
      body.U16(static_cast<WORD>(f.params.size()));
      for (const Param& p : f.params) {
        body.Str(p.name);
        body.Type(p.type);
        body.U16(p.flags);
      }
    }
  }
  Output out;
  out.Bytes("VTLB", 4);
  out.U16(1);
  out.U16(0);
  out.U32(static_cast<DWORD>(body.data.size()));
  out.U32(VornTypeLibChecksum(body.data.data(), body.data.size()));
  out.Bytes(body.data.data(), body.data.size());
  return out.data;
}
