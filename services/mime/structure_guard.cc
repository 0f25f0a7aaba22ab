#include "services/mime/structure_guard.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>

#include "runtime/text.h"
#include "services/mime/limits.h"

namespace vorn_mime {
namespace {

constexpr size_t kNone = static_cast<size_t>(-1);

// Fields whose values GMime reads as address lists.
constexpr std::string_view kAddressFields[] = {
    "from",      "sender",        "reply-to",        "to",        "cc",        "bcc",
    "resent-from", "resent-sender", "resent-reply-to", "resent-to", "resent-cc", "resent-bcc",
};

// One line of the text: [begin, end) without its line break; `next` is where
// the following line starts.
struct Line {
  size_t begin;
  size_t end;
  size_t next;
};

class Text {
 public:
  Text(const char* data, size_t size) : data_(data), size_(size) {}

  size_t size() const { return size_; }
  char at(size_t i) const { return data_[i]; }

  Line LineAt(size_t begin) const {
    const void* found = std::memchr(data_ + begin, '\n', size_ - begin);
    size_t next = found ? static_cast<size_t>(static_cast<const char*>(found) - data_) + 1 : size_;
    size_t end = found ? next - 1 : size_;
    if (end > begin && data_[end - 1] == '\r') --end;
    return Line{begin, end, next};
  }

  std::string_view View(size_t begin, size_t end) const {
    return std::string_view(data_ + begin, end - begin);
  }

  bool IsBlank(const Line& line) const { return line.begin == line.end; }
  bool IsContinuation(const Line& line) const {
    return line.begin < line.end && (data_[line.begin] == ' ' || data_[line.begin] == '\t');
  }
  bool StartsWithDashes(const Line& line) const {
    return line.end - line.begin >= 2 && data_[line.begin] == '-' && data_[line.begin + 1] == '-';
  }

  // Where the value of field `name` starts when `line` opens that field
  // (the name in any case, optional blanks, a colon); kNone otherwise.
  size_t FieldValue(const Line& line, std::string_view name) const {
    if (line.end - line.begin <= name.size() ||
        !vorn_rt::EqualNoCase(std::string_view(data_ + line.begin, name.size()), name)) {
      return kNone;
    }
    size_t i = line.begin + name.size();
    while (i < line.end && (data_[i] == ' ' || data_[i] == '\t')) ++i;
    return i < line.end && data_[i] == ':' ? i + 1 : kNone;
  }

  // The first `c` in [begin, end), or kNone.
  size_t Find(size_t begin, size_t end, char c) const {
    const void* found = std::memchr(data_ + begin, c, end - begin);
    return found ? static_cast<size_t>(static_cast<const char*>(found) - data_) : kNone;
  }

  size_t CountColons(size_t begin, size_t end) const {
    return static_cast<size_t>(std::count(data_ + begin, data_ + end, ':'));
  }

 private:
  const char* data_;
  size_t size_;
};

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

size_t AddressFieldValue(const Text& text, const Line& line) {
  const char c = vorn_rt::AsciiLower(text.at(line.begin));
  if (c != 'f' && c != 's' && c != 'r' && c != 't' && c != 'c' && c != 'b') return kNone;
  for (std::string_view name : kAddressFields) {
    if (name[0] != c) continue;
    size_t value = text.FieldValue(line, name);
    if (value != kNone) return value;
  }
  return kNone;
}

struct Census {
  size_t dashLines = 0;
  size_t contentTypes = 0;
  size_t lines = 0;         // lines that are not blank
  size_t longestField = 0;  // a line with its continuation lines, breaks included
};

// Counts the lines that can open a body or a level, measures what could be
// header fields, and finds the address fields to defuse.
Census TakeCensus(const Text& text, ParsePlan* plan) {
  Census census;
  size_t field = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    Line line = text.LineAt(pos);
    pos = line.next;
    if (line.begin == line.end) continue;
    ++census.lines;
    field = text.IsContinuation(line) ? field + (line.next - line.begin) : line.next - line.begin;
    census.longestField = std::max(census.longestField, field);
    if (text.StartsWithDashes(line)) {
      ++census.dashLines;
      continue;
    }
    if (text.FieldValue(line, "content-type") != kNone) {
      ++census.contentTypes;
      continue;
    }
    size_t value = AddressFieldValue(text, line);
    if (value == kNone) continue;
    size_t colons = text.CountColons(value, line.end);
    size_t end = line.next;
    while (end < text.size()) {
      Line more = text.LineAt(end);
      if (!text.IsContinuation(more)) break;
      colons += text.CountColons(more.begin, more.end);
      end = more.next;
    }
    if (colons > kMaxAddressColons) plan->defuse.emplace_back(value, end);
    census.longestField = std::max(census.longestField, end - line.begin);
    pos = end;
  }
  return census;
}

// True when GMime reads a header block at the start of `text`: the first line
// is blank, an mbox "From " line, or a field name (printable characters other
// than ':', or 8-bit ones) followed by optional blanks and a colon. Otherwise
// it reads no structure at all.
bool OpensWithHeader(const Text& text) {
  if (text.size() == 0) return false;
  Line line = text.LineAt(0);
  if (text.IsBlank(line) || text.View(line.begin, line.end).substr(0, 5) == "From ") return true;
  size_t i = line.begin;
  for (; i < line.end; ++i) {
    auto c = static_cast<unsigned char>(text.at(i));
    if (c == ':' || c <= ' ' || c == 0x7F) break;
  }
  if (i == line.begin) return false;
  while (i < line.end && (text.at(i) == ' ' || text.at(i) == '\t')) ++i;
  return i < line.end && text.at(i) == ':';
}

struct StringHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

// Follows the multipart structure the way GMime does (boundary lines close
// every level inside the one they belong to; a part of a digest is a message
// unless it says otherwise) and returns where the first body beyond the
// limits begins, or kNone. With `capHeaders`, it also plans the header text
// to drop so that the fields GMime sees stay within the header budget, and
// follows the Content-Type fields as GMime will see them.
class StructureWalk {
 public:
  StructureWalk(const Text& text, GMimeParserOptions* options, bool capHeaders, ParsePlan* plan)
      : text_(text), options_(options), capHeaders_(capHeaders), plan_(plan) {}

  size_t FindCut() {
    size_t pos = 0;
    while (pos < text_.size()) {
      Line line = text_.LineAt(pos);
      pos = line.next;
      if (text_.StartsWithDashes(line) && !open_.empty()) {
        std::string_view rest = TrimRight(text_.View(line.begin + 2, line.end));
        if (int frame = Innermost(rest); frame >= 0) {
          PopAbove(frame);
          if (!StartBody(frames_[frame].depth + 1, frames_[frame].digest)) return line.begin;
          continue;
        }
        if (rest.size() >= 2 && rest.substr(rest.size() - 2) == "--") {
          if (int frame = Innermost(rest.substr(0, rest.size() - 2)); frame >= 0) {
            PopAbove(frame - 1);
            inHeaders_ = false;
            continue;
          }
        }
      }
      if (!inHeaders_) continue;
      if (text_.IsBlank(line)) {
        if (!EndHeaders()) return line.next;
        continue;
      }
      bool continuation = text_.IsContinuation(line) && fieldOpen_;
      if (!continuation) StartField(line);
      size_t kept = KeepOfLine(line);
      if (continuation) {
        if (inContentType_) contentType_.append(text_.View(line.begin, kept));
      } else {
        inContentType_ = false;
        size_t value = haveContentType_ || kept == line.begin
                           ? kNone
                           : text_.FieldValue(line, "content-type");
        if (value != kNone) {
          haveContentType_ = inContentType_ = true;
          contentType_.assign(text_.View(value, kept));
        }
      }
    }
    return kNone;
  }

 private:
  struct Frame {
    std::string boundary;
    int depth;
    bool digest;
  };

  int Innermost(std::string_view boundary) const {
    if (open_.find(boundary) == open_.end()) return -1;
    for (int i = static_cast<int>(frames_.size()) - 1; i >= 0; --i) {
      if (frames_[i].boundary == boundary) return i;
    }
    return -1;
  }

  // A header field opens with `line`: it is admitted while the message's
  // header budget lasts, and may keep as much of its text as the budget and
  // the field limit leave, so long as that holds its colon.
  void StartField(const Line& line) {
    fieldOpen_ = true;
    fieldBegin_ = line.begin;
    fieldRoom_ = kNone;
    if (!capHeaders_) return;
    fieldRoom_ = 0;
    if (headerFields_ >= kMaxHeaderFields || headerBytes_ >= kMaxHeaderBytes) return;
    ++headerFields_;
    size_t room = std::min(kMaxHeaderFieldBytes, kMaxHeaderBytes - headerBytes_);
    if (line.end - line.begin > room && text_.Find(line.begin, line.begin + room, ':') == kNone) {
      return;  // cut there, the field would lose its name
    }
    fieldRoom_ = room;
  }

  // Plans what GMime sees of one line of the current field and returns where
  // the kept part of the line ends (line.begin when nothing is kept).
  size_t KeepOfLine(const Line& line) {
    if (fieldRoom_ == kNone) return line.end;
    size_t length = line.end - line.begin;
    if (length <= fieldRoom_) {
      fieldRoom_ -= length;
      headerBytes_ += line.next - line.begin;
      return line.end;
    }
    if (fieldRoom_ == 0) {
      Drop(line.begin, line.next);
      return line.begin;
    }
    // Cut before a byte that continues a UTF-8 sequence, so that the kept
    // text stays readable as the charset it is written in.
    size_t keep = line.begin + fieldRoom_;
    // The field's first line keeps its colon (StartField saw it in reach).
    size_t floor = line.begin;
    if (line.begin == fieldBegin_) floor = text_.Find(line.begin, keep, ':') + 1;
    for (int back = 0; back < 3 && keep > floor &&
                       (static_cast<unsigned char>(text_.at(keep)) & 0xC0) == 0x80;
         ++back) {
      --keep;
    }
    Drop(keep, line.end);
    headerBytes_ += (keep - line.begin) + (line.next - line.end);
    fieldRoom_ = 0;
    return keep;
  }

  void Drop(size_t begin, size_t end) {
    if (begin == end) return;
    if (!plan_->drop.empty() && plan_->drop.back().second == begin) {
      plan_->drop.back().second = end;
    } else {
      plan_->drop.emplace_back(begin, end);
    }
  }

  // Closes every frame above index `keep`.
  void PopAbove(int keep) {
    while (static_cast<int>(frames_.size()) > keep + 1) {
      auto it = open_.find(std::string_view(frames_.back().boundary));
      if (--it->second == 0) open_.erase(it);
      frames_.pop_back();
    }
  }

  // A new body's header block begins; false when the body is beyond the limits.
  bool StartBody(int depth, bool digestPart) {
    if (depth > kMaxDepth || ++bodies_ > kMaxParts) return false;
    inHeaders_ = true;
    fieldOpen_ = false;
    depth_ = depth;
    digestPart_ = digestPart;
    haveContentType_ = inContentType_ = false;
    contentType_.clear();
    return true;
  }

  // The header block of the current body ended; false when the body it
  // announces (an enclosed message) is beyond the limits.
  bool EndHeaders() {
    inHeaders_ = false;
    bool multipart = false;
    bool message = digestPart_ && !haveContentType_;
    bool digest = false;
    std::string boundary;
    if (haveContentType_) {
      GMimeContentType* type = g_mime_content_type_parse(options_, contentType_.c_str());
      if (type) {
        multipart = g_mime_content_type_is_type(type, "multipart", "*");
        message = g_mime_content_type_is_type(type, "message", "*");
        digest = g_mime_content_type_is_type(type, "multipart", "digest");
        if (const char* b = g_mime_content_type_get_parameter(type, "boundary")) boundary = b;
        g_object_unref(type);
      }
    }
    boundary.resize(TrimRight(boundary).size());
    if (multipart && !boundary.empty()) {
      ++open_[boundary];
      frames_.push_back(Frame{std::move(boundary), depth_, digest});
      return true;
    }
    if (message) return StartBody(depth_ + 1, false);
    return true;
  }

  const Text& text_;
  GMimeParserOptions* options_;
  const bool capHeaders_;
  ParsePlan* plan_;
  size_t headerBytes_ = 0;
  size_t headerFields_ = 0;
  bool fieldOpen_ = false;    // a field of the current header block has begun
  size_t fieldBegin_ = 0;     // where the current field begins
  size_t fieldRoom_ = kNone;  // what the current field may still keep; kNone: no cap
  std::vector<Frame> frames_;
  std::unordered_map<std::string, int, StringHash, std::equal_to<>> open_;
  bool inHeaders_ = true;
  int depth_ = 1;
  bool digestPart_ = false;
  long bodies_ = 1;
  bool haveContentType_ = false;
  bool inContentType_ = false;
  std::string contentType_;
};

}  // namespace

ParsePlan PlanParse(const char* data, size_t size, GMimeParserOptions* options) {
  ParsePlan plan;
  Text text(data, std::min(size, kMaxParsedBytes));
  plan.cut = text.size();
  Census census = TakeCensus(text, &plan);
  // Every level needs a Content-Type field (a digest part needs its digest's),
  // and every body a boundary line or a Content-Type field (two bodies for a
  // message in a digest): below these counts the limits cannot be reached.
  bool mayBeTooDeep = 2 * census.contentTypes + 2 > static_cast<size_t>(kMaxDepth);
  bool mayHaveTooMany =
      1 + 2 * census.dashLines + census.contentTypes > static_cast<size_t>(kMaxParts);
  plan.mayHaveTooManyParts = mayHaveTooMany;
  // Header fields are at most all the lines that are not blank, and none is
  // longer than the longest line with its continuation lines.
  bool mayHaveBigHeaders = (text.size() > kMaxHeaderBytes || census.lines > kMaxHeaderFields ||
                            census.longestField > kMaxHeaderFieldBytes) &&
                           OpensWithHeader(text);
  if (mayBeTooDeep || mayHaveTooMany || mayHaveBigHeaders) {
    size_t cut = StructureWalk(text, options, mayHaveBigHeaders, &plan).FindCut();
    if (cut != kNone) plan.cut = cut;
  }
  while (!plan.defuse.empty() && plan.defuse.back().first >= plan.cut) plan.defuse.pop_back();
  while (!plan.drop.empty() && plan.drop.back().first >= plan.cut) plan.drop.pop_back();
  if (!plan.drop.empty() && plan.drop.back().second > plan.cut) plan.drop.back().second = plan.cut;
  return plan;
}

GByteArray* NewParsedText(const ParsePlan& plan, const guint8* data) {
  if (plan.defuse.empty() && plan.drop.empty()) return nullptr;
  size_t dropped = 0;
  for (auto [begin, end] : plan.drop) dropped += end - begin;
  GByteArray* text = g_byte_array_sized_new(static_cast<guint>(plan.cut - dropped));
  size_t defuse = 0;
  auto keep = [&](size_t begin, size_t end) {
    if (begin >= end) return;
    guint at = text->len;
    g_byte_array_append(text, data + begin, static_cast<guint>(end - begin));
    while (defuse < plan.defuse.size() && plan.defuse[defuse].second <= begin) ++defuse;
    for (size_t k = defuse; k < plan.defuse.size() && plan.defuse[k].first < end; ++k) {
      size_t from = std::max(begin, plan.defuse[k].first);
      size_t to = std::min(end, plan.defuse[k].second);
      for (size_t i = from; i < to; ++i) {
        guint8& byte = text->data[at + (i - begin)];
        if (byte == ':') byte = ' ';
      }
    }
  };
  size_t pos = 0;
  for (auto [begin, end] : plan.drop) {
    keep(pos, begin);
    pos = end;
  }
  keep(pos, plan.cut);
  return text;
}

}  // namespace vorn_mime
