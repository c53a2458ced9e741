// Variable references as the application names them: a type letter and a decimal index from 0 to
// 9999, "m1000" and the like.
#include <cstdint>
#include <cstring>

#include "runtime/runtime_link.h"

namespace {

int TypeOfLetter(char letter) {
  if (letter == 'U' || letter == 'u') return 2;  // U is another name for B
  static const char kLetters[] = "IOBTCMFLiobtcmfl";
  const char* found = letter != '\0' ? std::strchr(kLetters, letter) : nullptr;
  return found != nullptr ? static_cast<int>(found - kLetters) % 8 : -1;
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

bool ParseVarRef(const char* text, VarRef& ref) {
  if (text == nullptr) return false;
  const int type = TypeOfLetter(text[0]);
  if (type < 0 || !IsDigit(text[1])) return false;
  std::uint32_t index = 0;
  const char* digit = text + 1;
  for (; IsDigit(*digit); ++digit) {
    index = index * 10u + static_cast<std::uint32_t>(*digit - '0');
    if (index > 9999u) return false;  // also keeps a long digit run from overflowing
  }
  if (*digit != '\0') return false;
  ref.type = static_cast<VarType>(type);
  ref.index = static_cast<std::uint16_t>(index);
  return true;
}
