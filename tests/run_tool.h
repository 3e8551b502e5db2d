// Runs a program as a shell would, for the tests of the tools and of what
// systemd's own tools make of the unit files (POSIX systems only).
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qs::test {

// Runs `program` (its name and first arguments) with `args`; its exit code
// and what it wrote to standard output (and standard error unless `errors`
// sends it elsewhere), nullopt when the program is not installed.
inline std::optional<std::pair<int, std::string>> RunTool(const std::vector<std::string>& program,
                                                          const std::vector<std::string>& args,
                                                          const char* errors = "2>&1") {
  std::string command;
  for (const std::vector<std::string>* words : {&program, &args}) {
    for (const std::string& word : *words) {
      command += " '";
      for (char ch : word) command += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
      command += "'";
    }
  }
  FILE* pipe = ::popen((command + " " + errors).c_str(), "r");
  if (pipe == nullptr) return std::nullopt;
  std::string out;
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
  const int status = ::pclose(pipe);
  if (!WIFEXITED(status)) return std::make_pair(-1, out);
  if (WEXITSTATUS(status) == 127) return std::nullopt;
  return std::make_pair(WEXITSTATUS(status), out);
}

}  // namespace qs::test
