// Fills in the logon task's template: comments dropped, placeholders replaced by values escaped
// for where they stand.
#include "run/task_definition.h"

#include <cstring>

#include "run/task_template.h"  // generated from packaging/okvbridge-task.xml: kTaskTemplate

namespace okvrun {

namespace {

// The template's comments explain the placeholders to a reader of the shipped file; in the
// registered task they would only show the placeholders again, filled in.
std::string WithoutComments(std::string text) {
  for (std::size_t start = text.find("<!--"); start != std::string::npos;
       start = text.find("<!--", start)) {
    const std::size_t end = text.find("-->", start);
    if (end == std::string::npos) break;
    std::size_t stop = end + 3;
    if (stop < text.size() && text[stop] == '\n') ++stop;
    text.erase(start, stop - start);
  }
  return text;
}

std::string XmlEscaped(const std::string& value) {
  std::string out;
  for (const char c : value) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// The runtime folder stands between double quotes on okvbridge-run's command line, which the C
// runtime splits by its own rules: a backslash before a quote escapes it, so the usual trailing
// backslash of a folder ("C:\Runtime\") would swallow the closing quote and the port with it.
// Backslashes before a quote (the closing one included) are doubled, and a quote is escaped.
std::string QuotedArgumentBody(const std::string& value) {
  std::string out;
  std::size_t backslashes = 0;
  for (const char c : value) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(2 * backslashes, '\\');
  return out;
}

}  // namespace

std::string TaskName(std::uint32_t port) {
  return "okvbridge COM" + std::to_string(port);
}

std::string TaskDefinition(const TaskInputs& inputs) {
  const struct {
    const char* placeholder;
    std::string value;
  } fields[] = {
      {"[USER]", XmlEscaped(inputs.user)},
      {"[OKVBRIDGE_RUN]", XmlEscaped(inputs.runExe)},
      {"[RUNTIME_DIR]", XmlEscaped(QuotedArgumentBody(inputs.runtimeDir))},
      {"[PORT]", std::to_string(inputs.port)},
  };
  // One pass over the template, so that a value holding a placeholder's text stays as it is.
  const std::string text = WithoutComments(kTaskTemplate);
  std::string out;
  std::size_t at = 0;
  while (at < text.size()) {
    bool replaced = false;
    if (text[at] == '[') {
      for (const auto& field : fields) {
        const std::size_t length = std::strlen(field.placeholder);
        if (text.compare(at, length, field.placeholder) != 0) continue;
        out += field.value;
        at += length;
        replaced = true;
        break;
      }
    }
    if (!replaced) out += text[at++];
  }
  return out;
}

std::string TaskDefinitionDeclaring(std::string definition, const char* encoding) {
  const std::string declared = "encoding=\"UTF-8\"";
  const std::size_t at = definition.find(declared);
  if (at != std::string::npos && at < definition.find("?>")) {
    definition.replace(at, declared.size(), std::string("encoding=\"") + encoding + "\"");
  }
  return definition;
}

}  // namespace okvrun
