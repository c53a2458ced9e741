// Registering okvbridge-run as a task that starts with the user's logon (Windows), and removing it.
#pragma once
#include <cstdint>
#include <string>
namespace okvrun {
// Registers the logon task that runs `runExe` (okvbridge-run's full path) for `port` with
// `runtimeDir` as the bridge's working folder. Answers 0 on success; otherwise writes one line
// saying why to `why` and answers 1 (2 for bad usage).
int InstallTask(const std::string& runExe, std::uint32_t port, const std::string& runtimeDir,
                std::string& why);
// Removes the task that InstallTask registered for `port`; 0, or 1 with `why`.
int RemoveTask(std::uint32_t port, std::string& why);
}  // namespace okvrun
