// okvbridge-check's runtime library lines: which file the bridge's own library search loads, and
// when it does not load, why, read from the file itself; then its entry point and, on request,
// the executor.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "check/library_file.h"
#include "check/port_words.h"
#include "checks.h"
#include "platform/library_diagnostics.h"
#include "platform/platform.h"
#include "runtime/runtime_link.h"

namespace okvcheck {

namespace {

using checkwords::Join;
using checkwords::WithHint;

constexpr std::size_t kNamesShown = 8;

bool IsFile(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && (info.st_mode & S_IFMT) == S_IFREG;
}

// Answers 0, or the errno of the failed open or read.
int ReadWholeFile(const std::string& path, FileBytes& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return errno;
  char chunk[65536];
  std::size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
    bytes.insert(bytes.end(), chunk, chunk + got);
  }
  const int error = std::ferror(file) != 0 ? EIO : 0;
  std::fclose(file);
  return error;
}

LibraryHeader ProgramHeaderOf(const std::string& path) {
  FileBytes bytes;
  ReadWholeFile(path, bytes);
  return ReadProgramHeader(bytes);
}

// The runtime library file that the loader's search meets first, with its bytes and header.
struct Candidate {
  std::string path;  // empty when the search meets none
  std::vector<std::string> looked;
  int unreadable = 0;  // errno of a failed read
  FileBytes bytes;
  LibraryHeader header{FileKind::kNotLibrary, 0, 0, ""};
};

Candidate FindLibrary() {
  const char* name = platform::RuntimeLibraryName();
  Candidate candidate;
  for (const auto& place : checkos::LibrarySearch()) {
    candidate.looked.push_back(place.folder + " (" + place.role + ")");
    if (candidate.path.empty() && IsFile(checkos::InFolder(place.folder, name))) {
      candidate.path = checkos::InFolder(place.folder, name);
    }
  }
  if (!candidate.path.empty()) {
    candidate.unreadable = ReadWholeFile(candidate.path, candidate.bytes);
    candidate.header = ReadLibraryHeader(candidate.bytes);
  }
  return candidate;
}

// A file that is no whole library is told without loading it: the loader maps a cut library's
// segments past the end of the file, and touching them ends the process (SIGBUS).
bool ExplainUnloadable(const Candidate& candidate) {
  const std::string subject = "runtime library";
  if (candidate.unreadable != 0) {
    return Report(
        false, subject,
        WithHint(candidate.path + " cannot be read (" + std::strerror(candidate.unreadable) + ")",
                 "give okvbridge's user read access to it"));
  }
  const char* what =
      candidate.header.kind == FileKind::kNotLibrary ? " is not a library: " : " is truncated: ";
  return Report(
      false, subject,
      WithHint(candidate.path + what + candidate.header.problem + " (not handed to the loader)",
               "install the runtime library again"));
}

// Why the loader refused the library: the file its search would have found, and what is wrong.
bool ExplainLoadFailure(const Candidate& candidate, const LibraryHeader& build) {
  const platform::LibraryError error = platform::LastLibraryError();
  const std::string system = " (system: " + checkos::LoadFailureWords(error) + ")";
  const std::string subject = "runtime library";
  if (candidate.path.empty()) {
    return Report(false, subject,
                  WithHint(std::string(platform::RuntimeLibraryName()) + " not found" + system +
                               "; looked in " + Join(candidate.looked),
                           checkos::NotFoundHint()));
  }
  if (!SameArchitecture(candidate.header, build)) {
    return Report(false, subject,
                  WithHint(candidate.path + " is " + DescribeLibrary(candidate.header) +
                               ", this okvbridge is " + DescribeLibrary(build) + system,
                           checkos::OtherArchitectureHint(candidate.header, build)));
  }
  const std::vector<std::string> missing = checkos::MissingLibraries(candidate.bytes, error);
  if (!missing.empty()) {
    return Report(false, subject,
                  WithHint(candidate.path + " was found but cannot load: it needs " +
                               Join(missing) + ", which is not found" + system,
                           "install what the runtime library needs, or put the folder that holds "
                           "it on the library search path"));
  }
  return Report(false, subject,
                WithHint(candidate.path + " was found but does not load" + system,
                         "see the system's reason"));
}

std::string ExplainNoEntryPoint(const std::string& path, const FileBytes& bytes) {
  const std::vector<std::string> names = ExportedNames(bytes);
  std::vector<std::string> alike;
  for (const auto& name : names) {
    if (LooksLikeEntryPoint(name)) alike.push_back(name);
  }
  std::string text = path + " exports no " + kEntryPoint +
                     " (system: " + checkos::LoadFailureWords(platform::LastLibraryError()) + ")";
  if (!alike.empty()) {
    return WithHint(text + "; names like it: " + Join(alike, kNamesShown),
                    std::string("okvbridge asks for ") + kEntryPoint +
                        " exactly and calls it as __cdecl: this library was built with another "
                        "name or calling convention, not as the runtime library okvbridge is "
                        "made for");
  }
  text += names.empty() ? "; it exports no names at all"
                        : "; it exports " + Join(names, kNamesShown) + ", none like it";
  return WithHint(text, "this is not the Corvalen runtime library: use the one of the runtime");
}

}  // namespace

bool CheckRuntime(bool probe) {
  const LibraryHeader build = ProgramHeaderOf(checkos::ExecutablePath());
  const Candidate candidate = FindLibrary();
  const bool whole = candidate.path.empty() ||
                     (candidate.unreadable == 0 && candidate.header.kind != FileKind::kNotLibrary &&
                      candidate.header.kind != FileKind::kTruncated);
  // The same call with the same name as the bridge's, so the same search; holding the library
  // here as well only tells which file that search found.
  void* library = whole ? platform::OpenLibrary(platform::RuntimeLibraryName()) : nullptr;
  if (library == nullptr) {
    if (whole) {
      ExplainLoadFailure(candidate, build);
    } else {
      ExplainUnloadable(candidate);
    }
    if (probe) Report(false, "executor probe", "not made: the runtime library did not load");
    return false;
  }
  const std::string path = checkos::LibraryPath(library);
  FileBytes bytes = candidate.bytes;
  if (path != candidate.path) {  // the search found another file than the loader's
    bytes.clear();
    ReadWholeFile(path, bytes);
  }
  const LibraryHeader header = ReadLibraryHeader(bytes);
  std::string what = path;
  if (header.kind == FileKind::kElf || header.kind == FileKind::kPe) {
    what += " (" + DescribeLibrary(header) +
            (SameArchitecture(header, build) ? ", as this build)" : ")");
  }
  Report(true, "runtime library", what);

  const bool connected = ConnectRuntime();
  if (connected) {
    Report(true, "entry point", std::string(kEntryPoint) + ", exported by " + path);
  } else {
    Report(false, "entry point", ExplainNoEntryPoint(path, bytes));
  }
  platform::CloseLibrary(library);  // a connected runtime holds the library for itself
  if (!probe) return connected;
  if (!connected)
    return Report(false, "executor probe", "not made: there is no entry point to call");
  if (ProbeExecutor())
    return Report(true, "executor probe", "an executor is installed in the runtime");
  return Report(false, "executor probe",
                WithHint("the runtime answers that no executor is installed",
                         "start the application in the Corvalen runtime (until then the bridge "
                         "prints \"Pas d'executeur installe\" every 2 s)"));
}

}  // namespace okvcheck
