#pragma once
// Percent coding of URLs and form fields. Pure C++: no Windows headers.
#include <string_view>

#include "base/secure.h"

// Every byte but an ASCII letter or digit becomes '%' and two upper-case
// hexadecimal digits (the blank included, so "a b" gives "a%20b").
talverin::SecureString PercentEncode(std::string_view bytes);

// '%' followed by two hexadecimal digits (either case) becomes that byte;
// everything else, '+' and a '%' that starts no escape included, is copied.
talverin::SecureString PercentDecode(std::string_view text);
