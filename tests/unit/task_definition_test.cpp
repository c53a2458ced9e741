// The logon task's definition read back as the task scheduler reads it: parsed as XML by a small
// reader of the test's own (elements, attributes, text and the five entities; anything malformed
// fails), never compared as text, so that an escaping slip or a setting lost shows.
#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <string>
#include <vector>

#include "run/task_definition.h"

namespace {

struct Element {
  std::string name;
  std::map<std::string, std::string> attributes;
  std::string text;
  std::vector<Element> children;
};

class Reader {
 public:
  explicit Reader(const std::string& xml) : xml_(xml) {}

  Element Document() {
    SkipMarkup();
    Element root = ReadElement();
    SkipMarkup();
    if (at_ != xml_.size()) Fail("text after the root element");
    return root;
  }

  std::string error;

 private:
  void Fail(const std::string& why) {
    if (error.empty()) error = why + " at offset " + std::to_string(at_);
    at_ = xml_.size();
  }

  bool Next(const char* text) { return xml_.compare(at_, std::string(text).size(), text) == 0; }

  // Blanks, the declaration and comments between elements.
  void SkipMarkup() {
    for (;;) {
      while (at_ < xml_.size() && std::isspace(static_cast<unsigned char>(xml_[at_]))) ++at_;
      const char* end = Next("<?") ? "?>" : Next("<!--") ? "-->" : nullptr;
      if (end == nullptr) return;
      const std::size_t stop = xml_.find(end, at_);
      if (stop == std::string::npos) return Fail("unterminated markup");
      at_ = stop + std::string(end).size();
    }
  }

  std::string Name() {
    const std::size_t start = at_;
    while (at_ < xml_.size() && (std::isalnum(static_cast<unsigned char>(xml_[at_])) ||
                                 xml_[at_] == ':' || xml_[at_] == '_' || xml_[at_] == '-')) {
      ++at_;
    }
    if (at_ == start) Fail("a name expected");
    return xml_.substr(start, at_ - start);
  }

  // Text up to `stop`, its entities decoded; a raw '<' or a stray '&' is malformed.
  std::string Decoded(char stop) {
    static const std::map<std::string, char> entities = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
    std::string out;
    while (at_ < xml_.size() && xml_[at_] != stop) {
      if (xml_[at_] == '<') {
        Fail("a raw '<' in text");
        break;
      }
      if (xml_[at_] != '&') {
        out += xml_[at_++];
        continue;
      }
      bool known = false;
      for (const auto& [entity, character] : entities) {
        if (!Next(entity.c_str())) continue;
        out += character;
        at_ += entity.size();
        known = true;
      }
      if (!known) Fail("a stray '&'");
    }
    return out;
  }

  Element ReadElement() {
    Element element;
    if (!Next("<")) {
      Fail("an element expected");
      return element;
    }
    ++at_;
    element.name = Name();
    for (;;) {
      while (at_ < xml_.size() && xml_[at_] == ' ') ++at_;
      if (Next("/>")) {
        at_ += 2;
        return element;
      }
      if (Next(">")) break;
      const std::string attribute = Name();
      if (!Next("=\"")) {
        Fail("an attribute without a quoted value");
        return element;
      }
      at_ += 2;
      element.attributes[attribute] = Decoded('"');
      ++at_;
    }
    ++at_;
    for (;;) {
      element.text += Decoded('<');
      if (Next("<!--")) {
        SkipMarkup();
      } else if (Next("</")) {
        at_ += 2;
        if (Name() != element.name || !Next(">")) Fail("a mismatched end tag");
        ++at_;
        return element;
      } else if (at_ < xml_.size()) {
        element.children.push_back(ReadElement());
      } else {
        Fail("an unclosed element " + element.name);
        return element;
      }
    }
  }

  const std::string& xml_;
  std::size_t at_ = 0;
};

// The elements at `path` ("Settings/RestartOnFailure/Count") below `root`.
std::vector<const Element*> Find(const Element& root, const std::string& path) {
  std::vector<const Element*> found{&root};
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string step = path.substr(start, end - start);
    std::vector<const Element*> next;
    for (const Element* element : found) {
      for (const Element& child : element->children) {
        if (child.name == step) next.push_back(&child);
      }
    }
    found = next;
    start = end + 1;
  }
  return found;
}

// The text of the one element at `path`, its surrounding blanks kept: the scheduler keeps them.
std::string Text(const Element& root, const std::string& path) {
  const auto found = Find(root, path);
  if (found.size() != 1) {
    ADD_FAILURE() << path << " appears " << found.size() << " times";
    return "";
  }
  return found[0]->text;
}

Element Parsed(const std::string& xml) {
  Reader reader(xml);
  Element root = reader.Document();
  EXPECT_EQ(reader.error, "") << xml;
  return root;
}

TEST(TaskDefinition, ALogonTaskThatRunsForGoodInTheUsersSession) {
  const std::string xml = okvrun::TaskDefinition(
      {"PLANT\\operator", "C:\\okvbridge\\okvbridge-run.exe", "C:\\Runtime", 3});
  const Element task = Parsed(xml);
  EXPECT_EQ(task.name, "Task");
  EXPECT_EQ(task.attributes.at("version"), "1.2") << "the schema every Windows from Vista reads";
  EXPECT_EQ(task.attributes.at("xmlns"), "http://schemas.microsoft.com/windows/2004/02/mit/task");

  EXPECT_EQ(Find(task, "Triggers").at(0)->children.size(), 1u) << "the logon, nothing else";
  EXPECT_EQ(Text(task, "Triggers/LogonTrigger/UserId"), "PLANT\\operator");
  EXPECT_EQ(Text(task, "Triggers/LogonTrigger/Delay"), "PT30S");
  EXPECT_EQ(Text(task, "Triggers/LogonTrigger/Enabled"), "true");

  const std::map<std::string, std::string> settings = {
      {"ExecutionTimeLimit", "PT0S"},  // not the 72 hours a task gets otherwise
      {"DisallowStartIfOnBatteries", "false"},
      {"StopIfGoingOnBatteries", "false"},
      {"RestartOnFailure/Interval", "PT1M"},
      {"RestartOnFailure/Count", "999"},
      {"MultipleInstancesPolicy", "IgnoreNew"},
      {"StartWhenAvailable", "true"},
      {"RunOnlyIfIdle", "false"},
      {"IdleSettings/StopOnIdleEnd", "false"},
      {"Enabled", "true"},
  };
  for (const auto& [path, value] : settings) {
    EXPECT_EQ(Text(task, "Settings/" + path), value) << path;
  }
  EXPECT_TRUE(Find(task, "Settings/IdleSettings/Duration").empty()) << "no idle condition";

  const Element* principal = Find(task, "Principals/Principal").at(0);
  EXPECT_EQ(Text(*principal, "UserId"), "PLANT\\operator");
  EXPECT_EQ(Text(*principal, "LogonType"), "InteractiveToken");
  EXPECT_EQ(Text(*principal, "RunLevel"), "LeastPrivilege");
  EXPECT_EQ(Find(task, "Actions").at(0)->attributes.at("Context"), principal->attributes.at("id"));

  EXPECT_EQ(Text(task, "Actions/Exec/Command"), "C:\\okvbridge\\okvbridge-run.exe");
  EXPECT_EQ(Text(task, "Actions/Exec/Arguments"), "--minimized --runtime-dir \"C:\\Runtime\" 3");
  EXPECT_EQ(std::string(okvrun::kMinimizedOption), "--minimized");

  // schtasks reads the file as UTF-16: the declaration must say so, or Windows refuses it.
  const std::string utf16 = okvrun::TaskDefinitionDeclaring(xml, "UTF-16");
  EXPECT_EQ(utf16.substr(0, utf16.find("?>") + 2), "<?xml version=\"1.0\" encoding=\"UTF-16\"?>");
  EXPECT_EQ(utf16.substr(utf16.find("?>")), xml.substr(xml.find("?>")));
}

TEST(TaskDefinition, PathsWithMarkupQuotesAndPlaceholdersComeBackAsWritten) {
  const std::string exe = "C:\\Tom & Jerry's <tools>\\okvbridge-run.exe";
  // A folder's usual trailing backslash would escape the closing quote on the command line.
  const std::string folder = "D:\\R&D \"line 2\" [PORT] <plant>\\";
  const Element task = Parsed(okvrun::TaskDefinition({"PLANT\\o'neil & co", exe, folder, 17}));
  EXPECT_EQ(Text(task, "Actions/Exec/Command"), exe);
  EXPECT_EQ(Text(task, "Actions/Exec/Arguments"),
            "--minimized --runtime-dir \"D:\\R&D \\\"line 2\\\" [PORT] <plant>\\\\\" 17");
  EXPECT_EQ(Text(task, "Principals/Principal/UserId"), "PLANT\\o'neil & co");
}

}  // namespace
