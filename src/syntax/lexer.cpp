// Lexical elements.
//
// Readers work on bytes and decode UTF-8 only where a character outside
// ASCII stands; ASCII is the common case and is classed by a 128-entry table
// instead of the Unicode range tables. The common bare ASCII tag is scanned
// sixteen bytes at a time where the processor has the vector instructions;
// any other bare tag is scanned with one loop that remembers where the last
// non-space character ended, so the trailing spaces it absorbs are dropped
// from the text without a second pass. Quoted strings are copied once into
// the output, escapes resolved as they are met. The decoder here is the
// front end's only one: the trim and the error report use it too.
#include "syntax/lexer.h"

#include <bit>

#include "base/ascii_chunk.h"
#include "base/compiler.h"
#include "base/utf8.h"
#include "syntax/unicode.h"

namespace lumo {

char32_t decode_utf8(std::string_view text, std::size_t pos, std::size_t& len) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data()) + pos;
  const std::size_t left = text.size() - pos;
  const unsigned char b0 = p[0];
  if (b0 < 0x80) {
    len = 1;
    return b0;
  }
  auto cont = [&](std::size_t i) { return i < left && (p[i] & 0xC0) == 0x80; };
  if (b0 >= 0xC2 && b0 <= 0xDF && cont(1)) {
    len = 2;
    return (char32_t(b0 & 0x1F) << 6) | (p[1] & 0x3F);
  }
  if (b0 >= 0xE0 && b0 <= 0xEF && cont(1) && cont(2)) {
    char32_t c = (char32_t(b0 & 0x0F) << 12) | (char32_t(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
    if (c >= 0x800 && (c < 0xD800 || c > 0xDFFF)) {
      len = 3;
      return c;
    }
  } else if (b0 >= 0xF0 && b0 <= 0xF4 && cont(1) && cont(2) && cont(3)) {
    char32_t c = (char32_t(b0 & 0x07) << 18) | (char32_t(p[1] & 0x3F) << 12) |
                 (char32_t(p[2] & 0x3F) << 6) | (p[3] & 0x3F);
    if (c >= 0x10000 && c <= 0x10FFFF) {
      len = 4;
      return c;
    }
  }
  len = 1;
  return 0xFFFD;
}

namespace {

// ASCII classes: bit 0 tag start, bit 1 tag char.
constexpr unsigned char kStart = 1, kChar = 2;

struct AsciiTable {
  unsigned char t[128] = {};
  constexpr AsciiTable() {
    for (int c = '0'; c <= '9'; ++c) t[c] = kStart | kChar;
    for (int c = 'A'; c <= 'Z'; ++c) t[c] = kStart | kChar;
    for (int c = 'a'; c <= 'z'; ++c) t[c] = kStart | kChar;
    t[int('\'')] = kStart | kChar;
    t[int('_')] = kStart | kChar;
    t[int(' ')] = kChar;
    t[int('-')] = kChar;
  }
};
constexpr AsciiTable kAscii;

}  // namespace

bool is_tag_start(char32_t c) {
  if (c < 0x80) return kAscii.t[c] & kStart;
  return c == 0xB7 || unicode::is_alphabetic_or_number(c);
}

bool is_tag_char(char32_t c) {
  if (c < 0x80) return kAscii.t[c] & kChar;
  return c == 0xB7 || unicode::is_alphabetic_or_number(c);
}

bool is_text_white_space(char32_t c) { return unicode::is_white_space(c); }

// A run is read a stretch at a time: each stretch weighs its bytes in the
// audit (kBytesPerUnit bytes as a loop's kTurnsPerUnit turns), and the poll
// is ticked between stretches.
namespace {

void count_run(std::size_t bytes) {
  audit_work(bytes * InterruptPoll::kTurnsPerUnit / InterruptPoll::kBytesPerUnit);
}

// Ticks the cursor's poll for the stretch just read; true when it says stop.
bool after_stretch(Cursor& c, std::size_t bytes) {
  count_run(bytes);
  return c.poll != nullptr && c.poll->tick_bytes(bytes);
}

}  // namespace

// A token is read whole, then weighs its bytes (the caller sees a stop at
// its own next tick). Short ones, nearly all, do not reach here.
void after_long_token(Cursor& c, std::size_t bytes) {
  if (bytes > InterruptPoll::kBytesPerUnit) (void)after_stretch(c, bytes);
}

namespace {

// Reads on from the cursor with `stretch(from, end)`, which returns where
// the run ends before `end`, or `end`, a stretch at a time.
template <class Stretch>
std::string_view long_run(Cursor& c, std::size_t start, Stretch stretch) {
  if (!after_stretch(c, c.pos - start)) {  // the stretch read inline
    for (;;) {
      const std::size_t from = c.pos;
      const std::size_t n = c.text.size();
      const std::size_t end = n - from > kRunStretch ? from + kRunStretch : n;
      c.pos = stretch(from, end);
      if (c.pos < end || end == n) {
        count_run(c.pos - from);
        break;
      }
      if (after_stretch(c, c.pos - from)) break;
    }
  }
  return c.text.substr(start, c.pos - start);
}

}  // namespace

std::string_view long_blanks(Cursor& c, std::size_t start) {
  return long_run(c, start, [&](std::size_t i, std::size_t end) {
    while (i < end && (c.text[i] == ' ' || c.text[i] == '\t')) ++i;
    return i;
  });
}

std::string_view long_white_space(Cursor& c, std::size_t start) {
  return long_run(c, start, [&](std::size_t i, std::size_t end) {
    return white_space_until(c.text.data(), i, end);
  });
}

namespace {

inline int hex_value(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

}  // namespace

int hex_code_unit(Cursor& c) {
  // Four characters; any non-ASCII character fails, so counting bytes is
  // enough as long as each byte read is ASCII.
  if (c.text.size() - c.pos < 4) return -1;
  std::size_t i = c.pos, end = c.pos + 4;
  if (c.text[i] == '+') ++i;
  unsigned v = 0;
  for (; i < end; ++i) {
    int h = hex_value(c.text[i]);
    if (h < 0) return -1;
    v = v * 16 + static_cast<unsigned>(h);
  }
  c.pos = end;
  return static_cast<int>(v);
}

namespace {

// Reads the body of a quoted string; the cursor stands behind the opening
// quotation mark. On a fault the cursor is left at the fault position.
TagStatus read_quoted(Cursor& c, std::string& out) {
  std::string_view t = c.text;
  std::size_t n = t.size();
  std::size_t i = c.pos;
  for (;;) {
    // Copy a run of plain bytes in one go.
    std::size_t run = i;
    while (run < n && t[run] != '"' && t[run] != '\\') ++run;
    out.append(t.data() + i, run - i);
    i = run;
    if (i >= n) {
      c.pos = n;
      return TagStatus::BadString;
    }
    if (t[i] == '"') {
      c.pos = i + 1;
      return TagStatus::Ok;
    }
    // An escape.
    std::size_t esc = i;
    if (i + 1 >= n) {
      c.pos = esc;
      return TagStatus::BadString;
    }
    char e = t[i + 1];
    switch (e) {
      case '"': out.push_back('"'); i += 2; continue;
      case '\\': out.push_back('\\'); i += 2; continue;
      case '/': out.push_back('/'); i += 2; continue;
      case 'b': out.push_back('\b'); i += 2; continue;
      case 'f': out.push_back('\f'); i += 2; continue;
      case 'n': out.push_back('\n'); i += 2; continue;
      case 'r': out.push_back('\r'); i += 2; continue;
      case 't': out.push_back('\t'); i += 2; continue;
      case 'u': break;
      default: c.pos = esc; return TagStatus::BadString;
    }
    Cursor h{t, i + 2};
    const int v = hex_code_unit(h);
    if (v < 0) {
      c.pos = esc;
      return TagStatus::BadString;
    }
    char32_t cp = static_cast<char32_t>(v);
    if (cp >= 0xDC00 && cp <= 0xDFFF) {
      c.pos = esc;
      return TagStatus::BadString;
    }
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (h.pos + 2 > n || t[h.pos] != '\\' || t[h.pos + 1] != 'u') {
        c.pos = esc;
        return TagStatus::BadString;
      }
      h.pos += 2;
      const int w = hex_code_unit(h);
      if (w < 0xDC00 || w > 0xDFFF) {
        c.pos = esc;
        return TagStatus::BadString;
      }
      cp = 0x10000 + ((cp - 0xD800) << 10) + static_cast<char32_t>(w - 0xDC00);
    }
    unsigned char bytes[4];
    out.append(reinterpret_cast<const char*>(bytes), encode_utf8(cp, bytes));
    i = h.pos;
  }
}

// read_tag() for every case: quoted strings and non-ASCII characters
// included. Kept out of line, so that the common case below stays small.
LUMO_NOINLINE TagStatus read_any_tag(Cursor& c, std::string& scratch, std::string_view& out) {
  std::string_view t = c.text;
  std::size_t n = t.size();
  std::size_t i = c.pos;
  if (i >= n) return TagStatus::NoTag;
  unsigned char b = static_cast<unsigned char>(t[i]);
  std::size_t len;
  if (b < 0x80) {
    if (!(kAscii.t[b] & kStart)) {
      if (b != '"') return TagStatus::NoTag;
      c.pos = i + 1;
      scratch.clear();
      TagStatus s = read_quoted(c, scratch);
      if (s == TagStatus::Ok) out = scratch;
      after_long_token(c, c.pos - i);
      return s;
    }
    len = 1;
  } else {
    char32_t ch = decode_utf8(t, i, len);
    if (!is_tag_start(ch)) return TagStatus::NoTag;
  }
  // Bare tag: first character, then the longest run of tag characters.
  std::size_t start = i;
  i += len;
  std::size_t kept_end = i;  // end of the last character that is not a space
  while (i < n) {
    unsigned char d = static_cast<unsigned char>(t[i]);
    if (d < 0x80) {
      unsigned char cls = kAscii.t[d];
      if (!(cls & kChar)) break;
      ++i;
      if (d != ' ') kept_end = i;
    } else {
      char32_t ch = decode_utf8(t, i, len);
      if (!is_tag_char(ch)) break;
      i += len;
      kept_end = i;
    }
  }
  out = t.substr(start, kept_end - start);
  c.pos = i;
  after_long_token(c, i - start);
  return TagStatus::Ok;
}

}  // namespace

namespace {
TagStatus end_bare_tag(Cursor& c, std::string& scratch, std::string_view& out, std::size_t start,
                       std::size_t i);
}  // namespace

// Most tags are bare and ASCII: those are read here, in one tight loop; a
// quoted string, or any byte from 0x80 on, hands the token to read_any_tag.
TagStatus read_tag(Cursor& c, std::string& scratch, std::string_view& out) {
  const char* const text = c.text.data();
  const std::size_t n = c.text.size();
  const std::size_t start = c.pos;
  if (start >= n) return TagStatus::NoTag;
  const auto first = static_cast<unsigned char>(text[start]);
  if (first >= 0x80 || !(kAscii.t[first] & kStart)) return read_any_tag(c, scratch, out);
  std::size_t i = start + 1;
#if LUMO_HAVE_ASCII_CHUNK
  // Sixteen bytes at a time while they last: the first byte that is not an
  // ASCII tag character ends the tag, with no branch per byte. When the tag
  // ends in its first sixteen bytes, as nearly every tag does, the same
  // masks say whether a byte from 0x80 on ended it and how many spaces it
  // ends with, with no more loads.
  if (n - i >= 16) {
    const AsciiChunk first16 = class_ascii_chunk(text + i);
    if (first16.stop != 0) {
      const auto k = static_cast<unsigned>(std::countr_zero(first16.stop));
      if ((first16.high >> k) & 1) return read_any_tag(c, scratch, out);
      // The run of spaces just before byte k (the tag's first character,
      // before byte 0, is not a space).
      const unsigned before = first16.spaces & ((1u << k) - 1);
      const unsigned trailing = k == 0 ? 0 : std::countl_one(before << (32 - k));
      out = std::string_view(text + start, i + k - trailing - start);
      c.pos = i + k;
      return TagStatus::Ok;
    }
    for (i += 16; n - i >= 16; i += 16) {
      if (const unsigned stop = class_ascii_chunk(text + i).stop; stop != 0) {
        i += static_cast<std::size_t>(std::countr_zero(stop));
        return end_bare_tag(c, scratch, out, start, i);
      }
    }
  }
#endif
  while (i < n && static_cast<unsigned char>(text[i]) < 0x80 &&
         (kAscii.t[static_cast<unsigned char>(text[i])] & kChar))
    ++i;
  return end_bare_tag(c, scratch, out, start, i);
}

namespace {

// A bare tag from `start` that the scan ended at `i`.
TagStatus end_bare_tag(Cursor& c, std::string& scratch, std::string_view& out, std::size_t start,
                       std::size_t i) {
  const char* const text = c.text.data();
  if (i < c.text.size() && static_cast<unsigned char>(text[i]) >= 0x80)
    return read_any_tag(c, scratch, out);
  // The text leaves out the spaces the token ends with (the first character
  // is not one).
  std::size_t kept_end = i;
  while (text[kept_end - 1] == ' ') --kept_end;
  out = std::string_view(text + start, kept_end - start);
  c.pos = i;
  after_long_token(c, i - start);
  return TagStatus::Ok;
}

}  // namespace

}  // namespace lumo
