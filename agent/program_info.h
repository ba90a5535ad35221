// Process-wide facts about the running program: its full path and the service
// name it was started for. Written on the main thread at start; read-only
// afterwards, so any thread may read them.
#pragma once

#include <string>

// The full path of the program started as `argv0`: a path with a directory is
// made absolute against the current directory, with "~" and "." / ".." resolved;
// a bare name is looked up on PATH as the shell did to start it (falling back to
// the running executable when it is not found there).
std::string ComputeProgramPath(const std::string& argv0);

// The program a service unit must start: `programPath` when it names the
// running executable (a path through a symbolic link, such as an installed
// /usr/sbin/varo-agent, stays as given), else the running executable itself,
// as /proc/self/exe names it: the first argument is only what the caller
// claimed, and may name another file or none.
std::string RunningProgramPath(const std::string& programPath);

// The file name of `programPath` without directory and extension.
std::string ProgramName(const std::string& programPath);

// The program path computed at start (empty before SetProgramPath).
const std::string& ProgramPath();
void SetProgramPath(const std::string& path);

// The service name from the command line (empty in the foreground).
const std::string& ServiceName();
void SetServiceName(const std::string& name);
