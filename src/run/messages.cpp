// The bridge's output cut into its messages, and what each message tells of where the bridge is.
#include <cstdint>
#include <cstring>

#include "run/run.h"

namespace okvrun {

namespace {

constexpr std::size_t kLongestMessage = 65536;

// The bridge's fixed lines; the others have a number in them and are matched below.
constexpr const char* kFixedLines[] = {
    "Erreur a l'ouverture du port de communication",
    "Connexion a Corvalen...",
    "Connexion effectuee",
    "Connexion impossible",
    "Executeur installe",
    "Pas d'executeur installe",
    "Executeur desinstalle",
    "Com timeout",
};

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::strlen(prefix), prefix) == 0;
}

bool EndsWith(const std::string& text, const char* suffix) {
  const std::size_t length = std::strlen(suffix);
  return text.size() >= length && text.compare(text.size() - length, length, suffix) == 0;
}

// `text` from `at` is `digits` (decimal or lowercase hexadecimal) up to `end`, at least one.
bool NumberBetween(const std::string& text, std::size_t at, std::size_t end, bool hex) {
  if (end <= at || end - at > 10) return false;
  for (std::size_t i = at; i < end; ++i) {
    const char c = text[i];
    if (!((c >= '0' && c <= '9') || (hex && c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

bool NumberedLine(const std::string& text) {
  static const char kBanner[] = "Communication OKV (COM";
  static const char kBannerEnd[] = ") <-> Corvalen V1.000";
  if (StartsWith(text, kBanner) && EndsWith(text, kBannerEnd)) {
    return NumberBetween(text, std::strlen(kBanner), text.size() - std::strlen(kBannerEnd), false);
  }
  static const char kError[] = "Erreur ";
  static const char* const kErrorEnds[] = {" \xE0 la lecture de m1000",
                                           " \xE0 l'\xE9"
                                           "criture de m1000",
                                           " \xE0 l'\xE9"
                                           "criture de l1000"};
  if (!StartsWith(text, kError)) return false;
  for (const char* end : kErrorEnds) {
    if (EndsWith(text, end)) {
      return NumberBetween(text, std::strlen(kError), text.size() - std::strlen(end), true);
    }
  }
  return false;
}

// Where the first message in `pending` ends (one past its last byte), or 0 when it is not
// complete yet. `quiet`: the pipe has been silent long enough for a reply to be over.
std::size_t MessageEnd(const std::string& pending, bool quiet) {
  if (pending.empty()) return 0;
  // Far beyond any message of the bridge's (a reply holds 1023 bytes at most): output that is not
  // the bridge's own is logged in pieces rather than held without end.
  if (pending.size() > kLongestMessage) return kLongestMessage;
  if (pending[0] != '[') {
    const std::size_t feed = pending.find('\n');
    return feed == std::string::npos ? 0 : feed + 1;
  }
  for (std::size_t close = pending.find(']'); close != std::string::npos;
       close = pending.find(']', close + 1)) {
    const std::size_t feed = pending.find('\n', close + 1);
    if (feed != std::string::npos && IsBridgeLine(pending.substr(close + 1, feed - close))) {
      return close + 1;
    }
  }
  return quiet && pending.back() == ']' ? pending.size() : 0;
}

// The messages complete in `pending`, stamped when their first byte came as near as is known:
// those that a chunk completes bear the stamp of the chunk that began them, the rest `latest`.
std::vector<Message> Take(Splitter& splitter, bool quiet, const std::string& latest) {
  std::vector<Message> messages;
  for (std::size_t end = MessageEnd(splitter.pending, quiet); end > 0;
       end = MessageEnd(splitter.pending, quiet)) {
    messages.push_back(Message{splitter.stamp, splitter.pending.substr(0, end)});
    splitter.pending.erase(0, end);
    splitter.stamp = latest;
  }
  return messages;
}

}  // namespace

std::string Bare(const std::string& message) {
  std::string text = message;
  if (!IsReply(text) && !text.empty() && text.back() == '\n') {
    text.pop_back();
    // A Windows bridge writes its console in text mode: CR LF.
    if (!text.empty() && text.back() == '\r') text.pop_back();
  }
  return text;
}

bool IsReply(const std::string& message) {
  return !message.empty() && message[0] == '[';
}

bool IsBridgeLine(const std::string& line) {
  if (line.empty() || line.back() != '\n') return false;
  const std::string text = Bare(line);
  for (const char* fixed : kFixedLines) {
    if (text == fixed) return true;
  }
  return NumberedLine(text);
}

std::vector<Message> Feed(Splitter& splitter, const std::string& chunk, const std::string& stamp,
                          std::uint32_t nowMs) {
  if (splitter.pending.empty()) splitter.stamp = stamp;
  splitter.pending += chunk;
  splitter.lastByteMs = nowMs;
  return Take(splitter, false, stamp);
}

std::vector<Message> Settle(Splitter& splitter, std::uint32_t nowMs, bool ended) {
  const std::uint32_t silent = nowMs - splitter.lastByteMs;
  std::vector<Message> messages = Take(splitter, silent >= kReplyQuietMs, splitter.stamp);
  if (!splitter.pending.empty() && (ended || silent >= kStaleMs)) {
    messages.push_back(Message{splitter.stamp, splitter.pending});
    splitter.pending.clear();
  }
  return messages;
}

std::uint32_t SettleDueIn(const Splitter& splitter, std::uint32_t nowMs) {
  if (splitter.pending.empty()) return UINT32_MAX;
  const std::uint32_t silent = nowMs - splitter.lastByteMs;
  const std::uint32_t due = splitter.pending.back() == ']' ? kReplyQuietMs : kStaleMs;
  return silent >= due ? 0 : due - silent;
}

bool SafeAfter(Moment& moment, const std::string& message) {
  const std::string text = Bare(message);
  // After a time-out the bridge has posted its time-out code before it prints the reply; what
  // follows the reply only writes the same result again.
  const bool safe = (IsReply(text) && moment.afterTimeout) || text == "Pas d'executeur installe" ||
                    text == "Connexion impossible";
  moment.afterTimeout = text == "Com timeout";
  return safe;
}

}  // namespace okvrun
