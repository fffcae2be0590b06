#pragma once

// Starting the program and the simulator for a benchmark.

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

// Runs argv in cwd with no display, the serial ports of config, standard output on stdoutFd
// (-1: nowhere) and everything else on /dev/null.
inline pid_t Spawn(const std::vector<std::string>& argv, const std::string& cwd, int stdoutFd,
                   const std::string& config) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  if (chdir(cwd.c_str()) != 0) _exit(126);
  setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  unsetenv("QT_QPA_PLATFORM");
  int null = open("/dev/null", O_RDWR);
  dup2(null, 0);
  dup2(stdoutFd >= 0 ? stdoutFd : null, 1);
  dup2(null, 2);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  _exit(127);
}
