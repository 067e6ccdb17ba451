// Text as bytes: where well-formed UTF-8 ends, and how a name or a value
// of any bytes is shown to a reader.
#ifndef KELVOR_FRONTEND_TEXT_H
#define KELVOR_FRONTEND_TEXT_H

#include <cstddef>
#include <string>

namespace kelvor::frontend {

// The length of the well-formed UTF-8 sequence at s[i] (1 to 4), or 0
// when the byte there does not begin one (a stray continuation byte, an
// overlong form, a surrogate, a code point beyond U+10FFFF, a cut end).
size_t utf8_sequence(const std::string& s, size_t i);

// s as a reader is shown it, on a terminal or in a log: well-formed UTF-8
// as it is, except that every byte that is not part of it and every
// control character (C0, DEL, C1) is written as the escape \xNN, and the
// marks that reorder text on screen (U+200E, U+200F, U+202A to U+202E,
// U+2066 to U+2069) as \uNNNN. No name can then drive a terminal, break a
// line or write invalid UTF-8. The Python package shows values alike.
std::string shown(const std::string& s);

}  // namespace kelvor::frontend

#endif
