// okvbridge-check on Windows: the COM ports the system registers, GetLastError() in the system's
// words, and LoadLibraryA's search order for a plain DLL name.
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "check/check_os.h"
#include "platform/platform.h"

namespace checkos {

namespace {

std::string Text(const char* bytes, DWORD length) {
  return std::string(bytes, length);
}

std::string WindowsFolder() {
  char folder[MAX_PATH];
  const UINT length = GetWindowsDirectoryA(folder, sizeof folder);
  return length > 0 && length < sizeof folder ? Text(folder, length) : "";
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  for (std::size_t i = 0; prefix[i] != '\0'; ++i) {
    if (i >= text.size() || std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) {
      return false;
    }
  }
  return true;
}

PortTrouble TroubleOfOpen(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
      return PortTrouble::kNoSuchPort;
    // Windows answers "access denied" for a COM port that another program has open.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return PortTrouble::kHeld;
    case ERROR_GEN_FAILURE:
    case ERROR_NOT_READY:
    case ERROR_DEVICE_NOT_CONNECTED:
      return PortTrouble::kNoDevice;
    default:
      return PortTrouble::kOther;
  }
}

}  // namespace

std::vector<SerialPort> SerialPorts() {
  std::vector<SerialPort> ports;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return ports;
  }
  // Each value names a driver's device ("\Device\Serial0"), its data the port ("COM1").
  for (DWORD i = 0;; ++i) {
    char device[256];
    DWORD deviceSize = sizeof device;
    BYTE name[256];
    DWORD nameSize = sizeof name - 1;
    DWORD type = 0;
    const LONG got = RegEnumValueA(key, i, device, &deviceSize, nullptr, &type, name, &nameSize);
    if (got == ERROR_NO_MORE_ITEMS) break;
    if (got != ERROR_SUCCESS || type != REG_SZ) continue;
    name[nameSize] = 0;
    ports.push_back(SerialPort{reinterpret_cast<char*>(name), Text(device, deviceSize), ""});
  }
  RegCloseKey(key);
  std::sort(ports.begin(), ports.end(), [](const SerialPort& a, const SerialPort& b) {
    return a.name.size() != b.name.size() ? a.name.size() < b.name.size() : a.name < b.name;
  });
  return ports;
}

PortDiagnosis DiagnosePort(const PortOpening& opening) {
  PortDiagnosis diagnosis{PortTrouble::kOther, "", ""};
  const auto error = static_cast<DWORD>(opening.error);
  if (opening.failedStep == PortStep::kOpen) {
    diagnosis.trouble = TroubleOfOpen(error);
    if (error == ERROR_ACCESS_DENIED) {
      diagnosis.detail = "Windows refuses a COM port that another program has open";
    }
  } else if (opening.failedStep == PortStep::kSettings && error == ERROR_INVALID_FUNCTION) {
    // Also what Wine answers for a COM port of its prefix whose link leads nowhere.
    diagnosis.trouble = PortTrouble::kNotSerial;
    diagnosis.detail = "it takes no line settings, so no serial device is behind the name";
  } else if (opening.failedStep == PortStep::kSettings) {
    diagnosis.trouble = PortTrouble::kSettingsRefused;
  }
  return diagnosis;
}

std::string ErrorWords(int code) {
  char words[512];
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                static_cast<DWORD>(code), 0, words, sizeof words, nullptr);
  // The message ends with a full stop and CR LF.
  while (length > 0 && (words[length - 1] == '\n' || words[length - 1] == '\r' ||
                        words[length - 1] == ' ' || words[length - 1] == '.')) {
    --length;
  }
  return (length > 0 ? Text(words, length) + ", " : std::string()) + "error " +
         std::to_string(code);
}

std::vector<SearchPlace> LibrarySearch() {
  // LoadLibraryA's order for a plain name (safe DLL search mode, the default).
  std::vector<SearchPlace> places;
  places.push_back(SearchPlace{FolderOf(ExecutablePath()), "this program's folder"});
  char folder[MAX_PATH];
  const UINT length = GetSystemDirectoryA(folder, sizeof folder);
  if (length > 0 && length < sizeof folder) {
    places.push_back(SearchPlace{Text(folder, length), "the system folder"});
  }
  const std::string windows = WindowsFolder();
  if (!windows.empty()) {
    places.push_back(SearchPlace{windows + "\\System", "the 16-bit system folder"});
    places.push_back(SearchPlace{windows, "the Windows folder"});
  }
  const DWORD current = GetCurrentDirectoryA(sizeof folder, folder);
  if (current > 0 && current < sizeof folder) {
    places.push_back(SearchPlace{Text(folder, current), "the current folder"});
  }
  std::vector<char> path(32768);
  const DWORD pathLength = GetEnvironmentVariableA("PATH", path.data(), path.size());
  std::string rest = pathLength < path.size() ? Text(path.data(), pathLength) : "";
  while (!rest.empty()) {
    const std::size_t end = rest.find(';');
    if (end != 0) places.push_back(SearchPlace{rest.substr(0, end), "PATH"});
    rest = end == std::string::npos ? "" : rest.substr(end + 1);
  }
  return places;
}

const char* NotFoundHint() {
  return "start okvbridge in the runtime's folder, or put that folder on PATH";
}

std::string OtherArchitectureHint(const LibraryHeader& library, const LibraryHeader& build) {
  const std::string name = platform::RuntimeLibraryName();
  if (library.bits != build.bits) {
    const std::string bits = std::to_string(library.bits);
    return name + " is " + bits + "-bit: use the win" + bits + " build of okvbridge";
  }
  return name + " is for another processor: get the runtime library for " + DescribeLibrary(build);
}

std::string InFolder(const std::string& folder, const char* file) {
  const bool separated = !folder.empty() && (folder.back() == '\\' || folder.back() == '/');
  return folder + (separated ? "" : "\\") + file;
}

std::string LibraryPath(void* library) {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(static_cast<HMODULE>(library), path, sizeof path);
  return length > 0 && length < sizeof path ? Text(path, length) : "";
}

std::string LoadFailureWords(const platform::LibraryError& error) {
  // Some of the loader's messages name the module as an insert, "%1".
  std::string words = ErrorWords(static_cast<int>(error.code));
  const std::size_t insert = words.find("%1");
  if (insert != std::string::npos) words.replace(insert, 2, platform::RuntimeLibraryName());
  return words;
}

std::vector<std::string> MissingLibraries(const FileBytes& file,
                                          const platform::LibraryError& error) {
  // "Module not found" is all Windows says both of a DLL that is not there and of one whose own
  // DLL is not: the imports, looked up as data (nothing of theirs runs), tell which.
  std::vector<std::string> missing;
  if (error.code != ERROR_MOD_NOT_FOUND) return missing;
  for (const std::string& name : ImportedLibraries(file)) {
    // API sets are names the loader maps, not files.
    if (StartsWithNoCase(name, "api-ms-") || StartsWithNoCase(name, "ext-ms-")) continue;
    const HMODULE found = LoadLibraryExA(name.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (found == nullptr) {
      missing.push_back(name);
    } else {
      FreeLibrary(found);
    }
  }
  return missing;
}

std::string ExecutablePath() {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  return length > 0 && length < sizeof path ? Text(path, length) : "";
}

}  // namespace checkos
