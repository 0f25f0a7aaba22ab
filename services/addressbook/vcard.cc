#include "services/addressbook/vcard.h"

#include <algorithm>
#include <climits>

#include "runtime/text.h"

namespace vorn_wab {
namespace {

enum class Version { kUnknown, k21, k30, k40 };

// The properties a contact is made of; every other one is skipped unread.
enum class Property { kOther, kVersion, kFn, kN, kNickname, kEmail, kAgent };

constexpr int kNotPreferred = INT_MAX;

bool IsFoldSpace(char c) { return c == ' ' || c == '\t'; }
bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && IsFoldSpace(s.back())) s.remove_suffix(1);
  return s;
}

std::string_view Unquote(std::string_view s) {
  if (s.size() >= 2 && s.front() == '"' && s.back() == '"') return s.substr(1, s.size() - 2);
  return s;
}

// "BEGIN:VCARD" or "END:VCARD" as a whole physical line, in any case, with
// trailing white space allowed.
bool IsCardLine(std::string_view line, std::string_view keyword) {
  line = TrimRight(line);
  return line.size() == keyword.size() + 6 && vorn_rt::EqualNoCase(line.substr(0, keyword.size()), keyword) &&
         line[keyword.size()] == ':' && vorn_rt::EqualNoCase(line.substr(keyword.size() + 1), "VCARD");
}
bool IsBeginLine(std::string_view line) { return IsCardLine(line, "BEGIN"); }
bool IsEndLine(std::string_view line) { return IsCardLine(line, "END"); }

// Calls f(piece) for each piece of `text` between unquoted separators.
template <class F>
void SplitOutsideQuotes(std::string_view text, char separator, F&& f) {
  bool quoted = false;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '"') {
      quoted = !quoted;
    } else if (text[i] == separator && !quoted) {
      f(text.substr(start, i - start));
      start = i + 1;
    }
  }
  f(text.substr(start));
}

// The pieces of `text` between separators that no backslash escapes.
std::vector<std::string_view> SplitUnescaped(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\') {
      ++i;
    } else if (text[i] == separator) {
      pieces.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  pieces.push_back(text.substr(start));
  return pieces;
}

// Resolves \n \N \, \; \\ ; any other backslash stays as it stands.
std::string Unescape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c != '\\' || i + 1 == text.size()) {
      out.push_back(c);
      continue;
    }
    const char next = text[i + 1];
    if (next == 'n' || next == 'N') {
      out.push_back('\n');
    } else if (next == ',' || next == ';' || next == '\\') {
      out.push_back(next);
    } else {
      out.push_back(c);
      out.push_back(next);
    }
    ++i;
  }
  return out;
}

// The first non-empty text of `pieces`, unescaped and trimmed.
std::string FirstNonEmpty(const std::vector<std::string_view>& pieces) {
  for (std::string_view piece : pieces) {
    std::string value = Unescape(piece);
    std::string_view trimmed = Trim(value);
    if (!trimmed.empty()) return std::string(trimmed);
  }
  return {};
}

struct Params {
  enum class Encoding { kNone, kQuotedPrintable, kBase64 };
  Encoding encoding = Encoding::kNone;
  std::string charset;
  int prefRank = kNotPreferred;
};

int ParsePrefRank(std::string_view text) {
  text = Trim(Unquote(Trim(text)));
  int value = 0;
  bool digits = false;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    digits = true;
    value = std::min(value * 10 + (c - '0'), 1000);
  }
  if (!digits) return 1;
  return std::clamp(value, 1, 100);
}

void ParseParams(std::string_view text, Params* params) {
  SplitOutsideQuotes(text, ';', [&](std::string_view param) {
    param = Trim(param);
    const size_t equals = param.find('=');
    if (equals == std::string_view::npos) {
      // vCard 2.1 writes encodings and types without a name.
      if (vorn_rt::EqualNoCase(param, "QUOTED-PRINTABLE")) {
        params->encoding = Params::Encoding::kQuotedPrintable;
      } else if (vorn_rt::EqualNoCase(param, "BASE64")) {
        params->encoding = Params::Encoding::kBase64;
      } else if (vorn_rt::EqualNoCase(param, "PREF")) {
        params->prefRank = std::min(params->prefRank, 1);
      }
      return;
    }
    const std::string_view key = Trim(param.substr(0, equals));
    const std::string_view value = Trim(param.substr(equals + 1));
    if (vorn_rt::EqualNoCase(key, "ENCODING")) {
      const std::string_view encoding = Unquote(value);
      if (vorn_rt::EqualNoCase(encoding, "QUOTED-PRINTABLE")) {
        params->encoding = Params::Encoding::kQuotedPrintable;
      } else if (vorn_rt::EqualNoCase(encoding, "BASE64") || vorn_rt::EqualNoCase(encoding, "B")) {
        params->encoding = Params::Encoding::kBase64;
      } else {
        params->encoding = Params::Encoding::kNone;
      }
    } else if (vorn_rt::EqualNoCase(key, "CHARSET")) {
      params->charset = std::string(Trim(Unquote(value)));
    } else if (vorn_rt::EqualNoCase(key, "TYPE")) {
      // TYPE=a,b ; TYPE="a,b" ; each value possibly quoted.
      SplitOutsideQuotes(value, ',', [&](std::string_view type) {
        std::string_view plain = Trim(type);
        while (!plain.empty() && plain.front() == '"') plain.remove_prefix(1);
        while (!plain.empty() && plain.back() == '"') plain.remove_suffix(1);
        SplitOutsideQuotes(plain, ',', [&](std::string_view inner) {
          if (vorn_rt::EqualNoCase(Trim(inner), "PREF")) params->prefRank = std::min(params->prefRank, 1);
        });
      });
    } else if (vorn_rt::EqualNoCase(key, "PREF")) {
      params->prefRank = std::min(params->prefRank, ParsePrefRank(value));
    }
  });
}

Property PropertyOf(std::string_view name) {
  const size_t dot = name.rfind('.');  // drop a group prefix
  if (dot != std::string_view::npos) name.remove_prefix(dot + 1);
  name = Trim(name);
  if (vorn_rt::EqualNoCase(name, "FN")) return Property::kFn;
  if (vorn_rt::EqualNoCase(name, "N")) return Property::kN;
  if (vorn_rt::EqualNoCase(name, "NICKNAME")) return Property::kNickname;
  if (vorn_rt::EqualNoCase(name, "EMAIL")) return Property::kEmail;
  if (vorn_rt::EqualNoCase(name, "VERSION")) return Property::kVersion;
  if (vorn_rt::EqualNoCase(name, "AGENT")) return Property::kAgent;
  return Property::kOther;
}

// Physical lines, each ended by CRLF, LF or CR.
class LineCursor {
 public:
  explicit LineCursor(std::string_view text) : text_(text) {}

  bool AtEnd() const { return pos_ >= text_.size(); }
  size_t Position() const { return pos_; }
  void Rewind(size_t position) { pos_ = position; }

  std::string_view Next() {
    const size_t start = pos_;
    size_t i = start;
    while (i < text_.size() && text_[i] != '\r' && text_[i] != '\n') ++i;
    const std::string_view line = text_.substr(start, i - start);
    if (i < text_.size()) {
      i += (text_[i] == '\r' && i + 1 < text_.size() && text_[i + 1] == '\n') ? 2 : 1;
    }
    pos_ = i;
    return line;
  }

 private:
  std::string_view text_;
  size_t pos_ = 0;
};

// One unfolded content line: "group.NAME;param=value:value".
struct ContentLine {
  Property property = Property::kOther;
  Params params;
  bool haveHeader = false;  // a colon was found
  bool truncated = false;   // the kept text stopped at the line limit
  std::string value;        // kept only for the properties of a contact
};

// What a card has given so far.
struct CardFields {
  std::string fn;
  std::string name;  // composed from N
  bool haveName = false;
  std::string nickname;
  std::string email;
  int emailRank = kNotPreferred;
  bool haveEmail = false;
};

class Parser {
 public:
  Parser(std::string_view text, const VCardLimits& limits, CharsetConverter* converter,
         bool unicodeText, std::vector<Contact>* contacts)
      : lines_(text),
        limits_(limits),
        converter_(converter),
        unicodeText_(unicodeText),
        contacts_(contacts) {}

  VCardReadStats Run() {
    size_t cardStart = 0;
    bool atBegin = false;
    for (;;) {
      if (!atBegin) {
        if (lines_.AtEnd()) break;
        cardStart = lines_.Position();
        if (!IsBeginLine(lines_.Next())) continue;
      }
      atBegin = ReadCard(cardStart, &cardStart);
    }
    return stats_;
  }

 private:
  // Reads the card after the BEGIN line at `start`. Returns true when it
  // stopped at another BEGIN line (this card unreadable), whose position goes
  // to *nextBegin.
  bool ReadCard(size_t start, size_t* nextBegin) {
    CardFields card;
    version_ = Version::kUnknown;
    bool unreadable = false;
    int nested = 0;           // depth inside a 2.1 AGENT's embedded card
    bool agentOpen = false;  // the last line was an AGENT without a value
    for (;;) {
      if (lines_.AtEnd()) {
        ++stats_.skipped;
        return false;
      }
      const size_t lineStart = lines_.Position();
      if (lineStart - start > limits_.maxCardBytes) unreadable = true;
      const std::string_view physical = lines_.Next();
      if (IsEndLine(physical)) {
        if (nested > 0) {
          --nested;
          continue;
        }
        if (unreadable || lines_.Position() - start > limits_.maxCardBytes) {
          ++stats_.skipped;
        } else {
          Emit(card);
        }
        return false;
      }
      if (IsBeginLine(physical)) {
        if (nested > 0 || agentOpen) {
          ++nested;
          agentOpen = false;
          continue;
        }
        ++stats_.skipped;
        *nextBegin = lineStart;
        return true;
      }
      if (nested > 0 || unreadable) continue;
      ReadContentLine(physical);
      agentOpen = false;
      if (!line_.haveHeader) continue;  // no colon: nothing to read
      if (line_.property == Property::kOther) continue;
      if (line_.truncated) {
        // Only an AGENT may be that long: its embedded card is not read.
        if (line_.property != Property::kAgent) unreadable = true;
        continue;
      }
      if (!Apply(&card, &agentOpen)) unreadable = true;
    }
  }

  // Unfolds the content line that starts with `first` (already consumed)
  // into line_, consuming its continuation lines.
  void ReadContentLine(std::string_view first) {
    line_.property = Property::kOther;
    line_.params = Params();
    line_.haveHeader = false;
    line_.truncated = false;
    line_.value.clear();
    header_.clear();
    quoted_ = false;
    keep_ = false;

    Feed(first);
    std::string_view last = first;
    while (!lines_.AtEnd()) {
      const size_t mark = lines_.Position();
      const std::string_view next = lines_.Next();
      const bool softBreak = line_.params.encoding == Params::Encoding::kQuotedPrintable &&
                             !last.empty() && last.back() == '=' && !IsBeginLine(next) &&
                             !IsEndLine(next);
      if (softBreak) {
        // The "=" and the line break vanish; the next line is content as it
        // stands, leading white space included.
        if (keep_ && !line_.truncated && !line_.value.empty() && line_.value.back() == '=') {
          line_.value.pop_back();
        }
        Feed(next);
        last = next;
      } else if (!next.empty() && IsFoldSpace(next[0])) {
        const std::string_view piece = version_ == Version::k21 ? next : next.substr(1);
        Feed(piece);
        last = piece.empty() ? last : piece;
      } else {
        lines_.Rewind(mark);
        break;
      }
    }
  }

  // Adds one piece of the unfolded line: finds the header's end (the first
  // colon outside quotes) and then keeps the value if the property matters.
  void Feed(std::string_view piece) {
    if (!line_.haveHeader) {
      size_t colon = std::string_view::npos;
      for (size_t i = 0; i < piece.size(); ++i) {
        if (piece[i] == '"') {
          quoted_ = !quoted_;
        } else if (piece[i] == ':' && !quoted_) {
          colon = i;
          break;
        }
      }
      if (colon == std::string_view::npos) {
        // The header goes on in the next piece; keep it within the limit.
        if (header_.size() + piece.size() > limits_.maxLineBytes) {
          line_.truncated = true;
        } else {
          header_.append(piece);
        }
        return;
      }
      std::string_view header;
      if (header_.empty()) {
        header = piece.substr(0, colon);
      } else {
        if (header_.size() + colon > limits_.maxLineBytes) line_.truncated = true;
        header_.append(piece.substr(0, colon));
        header = header_;
      }
      line_.haveHeader = true;
      const size_t semicolon = header.find(';');
      line_.property = PropertyOf(header.substr(0, semicolon));
      if (semicolon != std::string_view::npos) {
        ParseParams(header.substr(semicolon + 1), &line_.params);
      }
      keep_ = line_.property != Property::kOther;
      piece.remove_prefix(colon + 1);
    }
    if (!keep_ || line_.truncated) return;
    if (header_.size() + line_.value.size() + piece.size() > limits_.maxLineBytes) {
      line_.truncated = true;
      return;
    }
    line_.value.append(piece);
  }

  // The value of line_ as UTF-8: transfer decoding, then character set.
  std::string DecodedValue() {
    std::string transferDecoded;
    std::string_view raw = line_.value;
    if (line_.params.encoding == Params::Encoding::kQuotedPrintable) {
      transferDecoded = DecodeQuotedPrintable(raw);
      raw = transferDecoded;
    } else if (line_.params.encoding == Params::Encoding::kBase64) {
      transferDecoded = DecodeBase64(raw);
      raw = transferDecoded;
    }
    std::string text;
    if (unicodeText_) {
      AppendSanitizedUtf8(raw, &text);
    } else if (!line_.params.charset.empty() &&
               converter_->AppendUtf8(raw, line_.params.charset, &text)) {
      // converted
    } else if (version_ == Version::k21 && !IsValidUtf8(raw) &&
               converter_->AppendUtf8(raw, "WINDOWS-1252", &text)) {
      // 2.1 writers without CHARSET mostly meant the Windows code page
    } else {
      AppendSanitizedUtf8(raw, &text);
    }
    return text;
  }

  // Applies line_ to the card. False when the card cannot be read.
  bool Apply(CardFields* card, bool* agentOpen) {
    const bool listValues = version_ != Version::k21;  // 3.0 and 4.0 separate values by commas
    switch (line_.property) {
      case Property::kVersion: {
        const std::string_view text = Trim(line_.value);
        Version version;
        if (text == "2.1") {
          version = Version::k21;
        } else if (text == "3.0") {
          version = Version::k30;
        } else if (text == "4.0") {
          version = Version::k40;
        } else {
          return false;
        }
        if (version_ != Version::kUnknown && version_ != version) return false;
        version_ = version;
        return true;
      }
      case Property::kFn:
        if (card->fn.empty()) {
          const std::string text = DecodedValue();
          card->fn = std::string(Trim(Unescape(text)));
        }
        return true;
      case Property::kN:
        if (!card->haveName) {
          card->name = ComposeName(DecodedValue(), listValues);
          card->haveName = !card->name.empty();
        }
        return true;
      case Property::kNickname:
        if (card->nickname.empty()) {
          const std::string text = DecodedValue();
          card->nickname = listValues ? FirstNonEmpty(SplitUnescaped(text, ','))
                                      : FirstNonEmpty({std::string_view(text)});
        }
        return true;
      case Property::kEmail: {
        const int rank = line_.params.prefRank;
        if (card->haveEmail && rank >= card->emailRank) return true;
        const std::string text = DecodedValue();
        std::string email(Trim(Unescape(text)));
        if (email.empty()) return true;
        card->email = std::move(email);
        card->emailRank = rank;
        card->haveEmail = true;
        return true;
      }
      case Property::kAgent:
        *agentOpen = Trim(line_.value).empty();
        return true;
      case Property::kOther:
        return true;
    }
    return true;
  }

  // N is family;given;additional;prefix;suffix; written out as a person
  // writes a name.
  static std::string ComposeName(const std::string& text, bool listValues) {
    static constexpr size_t kOrder[] = {3, 1, 2, 0, 4};
    const std::vector<std::string_view> components = SplitUnescaped(text, ';');
    std::string name;
    for (size_t index : kOrder) {
      if (index >= components.size()) continue;
      const std::vector<std::string_view> values =
          listValues ? SplitUnescaped(components[index], ',')
                     : std::vector<std::string_view>{components[index]};
      for (std::string_view value : values) {
        const std::string unescaped = Unescape(value);
        const std::string_view part = Trim(unescaped);
        if (part.empty()) continue;
        if (!name.empty()) name.push_back(' ');
        name.append(part);
      }
    }
    return name;
  }

  void Emit(const CardFields& card) {
    Contact contact;
    contact.displayName = !card.fn.empty() ? card.fn : card.haveName ? card.name : card.email;
    contact.nickname = card.nickname;
    contact.email = card.email;
    contacts_->push_back(std::move(contact));
    ++stats_.cards;
  }

  LineCursor lines_;
  const VCardLimits& limits_;
  CharsetConverter* converter_;
  const bool unicodeText_;
  std::vector<Contact>* contacts_;
  VCardReadStats stats_;

  Version version_ = Version::kUnknown;
  ContentLine line_;
  std::string header_;  // a header that spans folded lines
  bool quoted_ = false;
  bool keep_ = false;
};

}  // namespace

VCardReadStats VCardReader::Read(std::string_view text, std::vector<Contact>* contacts) {
  std::string decoded;
  bool unicodeText = false;
  if (text.substr(0, 3) == "\xEF\xBB\xBF") {
    text.remove_prefix(3);
  } else if (text.substr(0, 2) == "\xFF\xFE" || text.substr(0, 2) == "\xFE\xFF") {
    const char* charset = text[0] == '\xFF' ? "UTF-16LE" : "UTF-16BE";
    converter_.AppendUtf8(text.substr(2), charset, &decoded);
    text = decoded;
    unicodeText = true;
  }
  Parser parser(text, limits_, &converter_, unicodeText, contacts);
  return parser.Run();
}

}  // namespace vorn_wab
