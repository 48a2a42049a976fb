// Peak resident memory of a program run in a child process, as the kernel counts it (ru_maxrss
// of the finished child): the benchmarks measure the batch tool this way, so that the parent's
// own pictures never count.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

// Runs program with arguments, its standard output thrown away; returns its peak RSS in bytes,
// or -1 when it could not run or failed.
inline long long PeakRssOf(const std::string& program, const std::vector<std::string>& arguments) {
  std::vector<std::string> copies = arguments;
  std::string tool = program;
  std::vector<char*> argv{tool.data()};
  for (std::string& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::fflush(stdout);
  const pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (std::FILE* quiet = std::freopen("/dev/null", "w", stdout); !quiet) ::_exit(126);
    ::execv(tool.c_str(), argv.data());
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  if (::wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return -1;
  return static_cast<long long>(usage.ru_maxrss) * 1024;
}
