// Variable references: any text. A reference parses exactly when it is a letter of the type table
// followed by a run of digits, and nothing else, whose value is at most 9999; the type and index
// it gives are then the table's and the digits'.
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "runtime/runtime_link.h"

namespace {

// The type table as the runtime documents it, written out here rather than taken from the parser.
int ExpectedType(char letter) {
  static const struct {
    const char* letters;
    int type;
  } kTable[] = {{"Ii", 0}, {"Oo", 1}, {"BbUu", 2}, {"Tt", 3},
                {"Cc", 4}, {"Mm", 5}, {"Ff", 6},   {"Ll", 7}};
  for (const auto& row : kTable) {
    if (letter != '\0' && std::strchr(row.letters, letter) != nullptr) return row.type;
  }
  return -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The parser takes zero-terminated text: the reference ends at the first zero byte.
  const std::string text(reinterpret_cast<const char*>(data), size);
  const char* c = text.c_str();
  const std::size_t length = std::strlen(c);

  const int type = length > 0 ? ExpectedType(c[0]) : -1;
  const std::size_t digits = length > 1 ? std::strspn(c + 1, "0123456789") : 0;
  // Leading zeros do not count towards the limit: the value of the whole run does.
  const std::size_t zeros = digits > 0 ? std::strspn(c + 1, "0") : 0;
  const std::string significant(c + 1 + zeros, digits - zeros);
  const bool small = significant.size() <= 4;
  const bool valid = type >= 0 && digits >= 1 && 1 + digits == length && small;

  VarRef ref{0xAA, 0xAAAA};
  const bool parsed = ParseVarRef(c, ref);
  FUZZ_CHECK(parsed == valid, "\"%s\" parsed %d, expected %d", c, parsed, valid);
  if (!parsed) return 0;
  const int index = significant.empty() ? 0 : std::stoi(significant);
  FUZZ_CHECK(ref.type == type, "\"%s\" type %d, expected %d", c, ref.type, type);
  FUZZ_CHECK(ref.index == index && index <= 9999, "\"%s\" index %d, expected %d", c, ref.index,
             index);
  return 0;
}
