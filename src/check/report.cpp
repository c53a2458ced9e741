// The report lines and the texts every check of okvbridge-check shares (see checks.h).
#include <cstdio>

#include "checks.h"

namespace okvcheck {

std::string Number(std::uint64_t value) {
  return std::to_string(value);
}

std::string Escape(const char* bytes, std::size_t count) {
  std::string text = "\"";
  for (std::size_t i = 0; i < count; ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    char escaped[8];
    if (byte == '"' || byte == '\\') {
      text += '\\';
      text += static_cast<char>(byte);
    } else if (byte == '\n' || byte == '\r' || byte == '\t') {
      text += byte == '\n' ? "\\n" : byte == '\r' ? "\\r" : "\\t";
    } else if (byte >= 0x20 && byte < 0x7F) {
      text += static_cast<char>(byte);
    } else {
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      text += escaped;
    }
  }
  return text + "\"";
}

bool Report(bool ok, const std::string& subject, const std::string& detail) {
  std::printf("%s %s: %s\n", ok ? "ok  " : "FAIL", subject.c_str(), detail.c_str());
  std::fflush(stdout);
  return ok;
}

}  // namespace okvcheck
