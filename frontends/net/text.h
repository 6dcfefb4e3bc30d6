// SPDX-License-Identifier: MIT
// Text that came from a unit, a client or the system (identity bytes, host
// names, headers, bodies) made safe to put into an answer: any byte value
// may arrive, and no front end may pass on what its clients cannot read.
#ifndef VONTREL_FRONTENDS_NET_TEXT_H
#define VONTREL_FRONTENDS_NET_TEXT_H

#include <string>
#include <string_view>

namespace vontrel::net {

// Whether `text` is well-formed UTF-8 (no overlong forms, surrogates or
// code points past U+10FFFF).
bool IsUtf8(std::string_view text);

// `text` as UTF-8: each byte that does not start a well-formed character
// becomes U+FFFD, the replacement character.
std::string ValidUtf8(std::string_view text);

// `text` for an XML or HTML document: UTF-8 as ValidUtf8 makes it, the
// control characters XML does not take replaced by U+FFFD too, and & < > "
// ' escaped.
std::string XmlEscaped(std::string_view text);

// ASCII letters in lower case, other bytes as they are: names compared
// without regard to case (HTTP header names, host names).
std::string AsciiLower(std::string_view text);

// Printable ASCII only: every other byte becomes `replacement`.
std::string PrintableAscii(std::string_view text, char replacement = '_');

}  // namespace vontrel::net

#endif
