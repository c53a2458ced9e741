// okvbridge-check on POSIX: the ttys with a device behind them and the ports folder's links, errno
// in words, and the dynamic loader's own search path.
#include <dirent.h>
#include <dlfcn.h>
#include <grp.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "check/check_os.h"
#include "platform/platform.h"

namespace checkos {

namespace {

constexpr char kPortsVariable[] = "OKVBRIDGE_PORTS";

// The folder the bridge takes COM<n> from, or null when it takes /dev/ttyS<n-1>.
const char* PortsFolder() {
  const char* folder = std::getenv(kPortsVariable);
  struct stat info {};
  if (folder == nullptr || *folder == '\0' || stat(folder, &info) != 0 || !S_ISDIR(info.st_mode)) {
    return nullptr;
  }
  return folder;
}

// The n of "COM<n>" or "ttyS<n>"; -1 for any other name.
long NumberAfter(const char* name, const char* prefix) {
  const std::size_t length = std::strlen(prefix);
  if (std::strncmp(name, prefix, length) != 0 || name[length] == '\0') return -1;
  char* end = nullptr;
  const long number = std::strtol(name + length, &end, 10);
  return *end == '\0' && name[length] >= '0' && name[length] <= '9' ? number : -1;
}

std::string LinkTarget(const std::string& path) {
  char target[PATH_MAX];
  const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
  if (length < 0) return "";
  target[length] = '\0';
  return target;
}

void AddFolderPorts(const char* folder, std::vector<SerialPort>& ports) {
  DIR* dir = opendir(folder);
  if (dir == nullptr) return;
  while (const dirent* entry = readdir(dir)) {
    if (NumberAfter(entry->d_name, "COM") < 0) continue;
    const std::string path = std::string(folder) + "/" + entry->d_name;
    const std::string target = LinkTarget(path);
    struct stat info {};
    const bool there = stat(path.c_str(), &info) == 0;
    ports.push_back(SerialPort{entry->d_name, target.empty() ? path : target,
                               there ? "" : "a link to nothing"});
  }
  closedir(dir);
}

// Serial drivers list every UART they might have; a port of type 0 has no chip behind it.
// Read with stdio: okvbridge-run links this file too, and iostreams would bring their locale
// machinery into a program that stays resident for years.
bool UartAbsent(const std::string& tty) {
  std::FILE* type = std::fopen(("/sys/class/tty/" + tty + "/type").c_str(), "r");
  if (type == nullptr) return false;
  int value = -1;
  const bool read = std::fscanf(type, "%d", &value) == 1;
  std::fclose(type);
  return read && value == 0;
}

void AddSystemTtys(bool folderInUse, std::vector<SerialPort>& ports) {
  DIR* dir = opendir("/sys/class/tty");
  if (dir == nullptr) return;
  while (const dirent* entry = readdir(dir)) {
    const std::string tty = entry->d_name;
    if (access(("/sys/class/tty/" + tty + "/device").c_str(), F_OK) != 0 || UartAbsent(tty)) {
      continue;
    }
    const long uart = NumberAfter(tty.c_str(), "ttyS");
    SerialPort port{"", "/dev/" + tty, ""};
    if (!folderInUse && uart >= 0) {
      port.name = "COM" + std::to_string(uart + 1);
    } else {
      port.note =
          std::string("no COM number reaches it unless linked as COM<n> in $") + kPortsVariable;
    }
    ports.push_back(port);
  }
  closedir(dir);
}

std::string GroupOf(const char* path) {
  struct stat info {};
  if (stat(path, &info) != 0) return "";
  const group* owner = getgrgid(info.st_gid);
  return owner != nullptr ? owner->gr_name : std::to_string(info.st_gid);
}

PortTrouble TroubleOfOpen(int error) {
  switch (error) {
    case ENOENT:
      return PortTrouble::kNoSuchPort;
    case EBUSY:
      return PortTrouble::kHeld;  // another program made it exclusive (TIOCEXCL)
    case EACCES:
    case EPERM:
      return PortTrouble::kAccessRefused;
    case ENXIO:
    case ENODEV:
    case EIO:
      return PortTrouble::kNoDevice;
    default:
      return PortTrouble::kOther;
  }
}

}  // namespace

std::vector<SerialPort> SerialPorts() {
  std::vector<SerialPort> ports;
  const char* folder = PortsFolder();
  if (folder != nullptr) AddFolderPorts(folder, ports);
  AddSystemTtys(folder != nullptr, ports);
  std::sort(ports.begin(), ports.end(), [](const SerialPort& a, const SerialPort& b) {
    const long left = NumberAfter(a.name.c_str(), "COM");
    const long right = NumberAfter(b.name.c_str(), "COM");
    // Numbered ports first, by number; the others by device.
    if ((left < 0) != (right < 0)) return left >= 0;
    return left != right ? left < right : a.device < b.device;
  });
  return ports;
}

PortDiagnosis DiagnosePort(const PortOpening& opening) {
  PortDiagnosis diagnosis{PortTrouble::kOther, "", ""};
  switch (opening.failedStep) {
    case PortStep::kName:
      diagnosis.trouble = PortTrouble::kNoSuchPort;
      diagnosis.detail = std::string("COM<n> is /dev/ttyS<n-1> while $") + kPortsVariable +
                         " names no folder, and there is no COM0";
      break;
    case PortStep::kOpen:
      diagnosis.trouble = TroubleOfOpen(opening.error);
      if (diagnosis.trouble == PortTrouble::kNoSuchPort && !LinkTarget(opening.device).empty()) {
        diagnosis.detail = "it is a link to " + LinkTarget(opening.device) +
                           ", which is gone (an adapter pulled out, or the program that made the "
                           "pseudo-terminal has ended)";
      } else if (diagnosis.trouble == PortTrouble::kHeld) {
        diagnosis.detail = "another program has made it exclusive";
      } else if (diagnosis.trouble == PortTrouble::kAccessRefused) {
        const std::string group = GroupOf(opening.device);
        diagnosis.detail = "read and write access is for the owner and the group " + group;
        diagnosis.hint = "add your user to the group " + group + " (sudo adduser $USER " + group +
                         "), then log in again";
      }
      break;
    case PortStep::kLock:
      diagnosis.trouble = PortTrouble::kHeld;
      diagnosis.detail = "another program holds its lock";
      break;
    case PortStep::kSettings:
      diagnosis.trouble =
          opening.error == ENOTTY ? PortTrouble::kNotSerial : PortTrouble::kSettingsRefused;
      break;
    case PortStep::kNone:
    case PortStep::kTransferEvent:  // Windows alone has one
    case PortStep::kWatcher:
      break;
  }
  return diagnosis;
}

std::string ErrorWords(int code) {
  return std::strerror(code);
}

std::vector<SearchPlace> LibrarySearch() {
  std::vector<SearchPlace> places;
  // The loader's own list for this program: LD_LIBRARY_PATH, its RUNPATH, the system folders.
  void* self = dlopen(nullptr, RTLD_NOW);
  Dl_serinfo size{};
  if (self == nullptr || dlinfo(self, RTLD_DI_SERINFOSIZE, &size) != 0) return places;
  std::vector<char> storage(size.dls_size);
  auto* info = reinterpret_cast<Dl_serinfo*>(storage.data());
  *info = size;
  if (dlinfo(self, RTLD_DI_SERINFO, info) != 0) return places;

  std::vector<std::string> fromVariable;
  const char* variable = std::getenv("LD_LIBRARY_PATH");
  for (std::string rest = variable != nullptr ? variable : ""; !rest.empty();) {
    const std::size_t end = rest.find_first_of(":;");  // the loader takes either as separator
    fromVariable.push_back(rest.substr(0, end));
    rest = end == std::string::npos ? "" : rest.substr(end + 1);
  }
  const std::string program = ExecutablePath();
  const std::string ownFolder = program.substr(0, program.rfind('/'));
  for (unsigned i = 0; i < info->dls_cnt; ++i) {
    const std::string folder = info->dls_serpath[i].dls_name;
    std::string role = "the system's";
    if (folder.empty() || folder == ".") {
      role = "the current folder";  // an empty entry in a search path means it
    } else if (std::find(fromVariable.begin(), fromVariable.end(), folder) != fromVariable.end()) {
      role = "LD_LIBRARY_PATH";
    } else if (folder == ownFolder) {
      role = "this program's folder";
    }
    places.push_back(SearchPlace{folder, role});
  }
  return places;
}

const char* NotFoundHint() {
  return "put the runtime library's folder on LD_LIBRARY_PATH, or the library beside okvbridge";
}

std::string OtherArchitectureHint(const LibraryHeader& library, const LibraryHeader& build) {
  if (library.bits != build.bits) {
    return "a " + std::to_string(build.bits) + "-bit okvbridge cannot load a " +
           std::to_string(library.bits) + "-bit library: build okvbridge as a " +
           std::to_string(library.bits) + "-bit program, or get the runtime library's " +
           std::to_string(build.bits) + "-bit edition";
  }
  return "get the runtime library built for " + DescribeLibrary(build);
}

std::string InFolder(const std::string& folder, const char* file) {
  return folder + "/" + file;
}

std::string LibraryPath(void* library) {
  link_map* map = nullptr;
  if (dlinfo(library, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) return "";
  char full[PATH_MAX];
  return realpath(map->l_name, full) != nullptr ? full : map->l_name;
}

std::string LoadFailureWords(const platform::LibraryError& error) {
  return error.text;
}

std::vector<std::string> MissingLibraries(const FileBytes&, const platform::LibraryError& error) {
  // The loader names the library it could not find first: "libfoo.so: cannot open shared object
  // file: No such file or directory".
  const std::string words = error.text;
  const std::size_t colon = words.find(": cannot open shared object file");
  if (colon == std::string::npos || words.compare(0, colon, platform::RuntimeLibraryName()) == 0) {
    return {};
  }
  return {words.substr(0, colon)};
}

std::string ExecutablePath() {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length < 0) return "/proc/self/exe";
  path[length] = '\0';
  return path;
}

}  // namespace checkos
