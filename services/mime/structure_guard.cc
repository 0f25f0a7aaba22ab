#include "services/mime/structure_guard.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>

#include "services/mime/limits.h"

namespace vorn_mime {
namespace {

// A Content-Type field longer than this ends the parse where the structure is
// followed: no real one comes near it.
constexpr size_t kMaxFollowedFieldBytes = 64 * 1024;

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
    if (line.end - line.begin <= name.size()) return kNone;
    for (size_t i = 0; i < name.size(); ++i) {
      char c = data_[line.begin + i];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      if (c != name[i]) return kNone;
    }
    size_t i = line.begin + name.size();
    while (i < line.end && (data_[i] == ' ' || data_[i] == '\t')) ++i;
    return i < line.end && data_[i] == ':' ? i + 1 : kNone;
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
  char c = text.at(line.begin);
  if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
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
};

// Counts the lines that can open a body or a level, and finds the address
// fields to defuse.
Census TakeCensus(const Text& text, ParsePlan* plan) {
  Census census;
  size_t pos = 0;
  while (pos < text.size()) {
    Line line = text.LineAt(pos);
    pos = line.next;
    if (line.begin == line.end) continue;
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
    pos = end;
  }
  return census;
}

struct StringHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

// Follows the multipart structure the way GMime does (boundary lines close
// every level inside the one they belong to; a part of a digest is a message
// unless it says otherwise) and returns where the first body beyond the
// limits begins, or kNone.
class StructureWalk {
 public:
  StructureWalk(const Text& text, GMimeParserOptions* options) : text_(text), options_(options) {}

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
      if (text_.IsContinuation(line)) {
        if (inContentType_) contentType_.append(text_.View(line.begin, line.end));
      } else {
        inContentType_ = false;
        size_t value = haveContentType_ ? kNone : text_.FieldValue(line, "content-type");
        if (value != kNone) {
          haveContentType_ = inContentType_ = true;
          contentType_.assign(text_.View(value, line.end));
        }
      }
      if (contentType_.size() > kMaxFollowedFieldBytes) return line.begin;
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
  if (mayBeTooDeep || mayHaveTooMany) {
    size_t cut = StructureWalk(text, options).FindCut();
    if (cut != kNone) plan.cut = cut;
  }
  while (!plan.defuse.empty() && plan.defuse.back().first >= plan.cut) plan.defuse.pop_back();
  return plan;
}

}  // namespace vorn_mime
