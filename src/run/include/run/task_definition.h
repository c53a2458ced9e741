// The logon task's definition, built from the template the Windows package also ships
// (packaging/okvbridge-task.xml, compiled in so that the two cannot differ), and the task's name.
// Portable, so that the native tests read back what Windows gets; MinimizeConsoleWindow alone is
// implemented per platform, beside InstallTask.
#pragma once

#include <cstdint>
#include <string>

namespace okvrun {

// The option the task starts okvbridge-run with: a task cannot choose its window's state, so
// okvbridge-run minimises its own console window (MinimizeConsoleWindow) when given it.
constexpr const char* kMinimizedOption = "--minimized";

struct TaskInputs {
  std::string user;        // who logs on and runs the task, as DOMAIN\user
  std::string runExe;      // okvbridge-run's full path
  std::string runtimeDir;  // the bridge's working folder, absolute
  std::uint32_t port;      // the COM port number
};

// "okvbridge COM<port>": one task per port, so that two bridges on two ports each have theirs.
std::string TaskName(std::uint32_t port);

// The task definition for the task scheduler: the template with its comments dropped and its
// placeholders filled in, the values escaped for XML (and the runtime folder for the quoted
// command-line argument it is). The text is in the inputs' encoding and declares UTF-8; whoever
// writes it in another encoding changes the declaration (TaskDefinitionDeclaring).
std::string TaskDefinition(const TaskInputs& inputs);

// `definition` with its XML declaration naming `encoding` instead of UTF-8.
std::string TaskDefinitionDeclaring(std::string definition, const char* encoding);

// Minimises okvbridge-run's console window (Windows); nothing where there is none.
void MinimizeConsoleWindow();

}  // namespace okvrun
