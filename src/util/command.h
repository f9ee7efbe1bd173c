#pragma once

#include <functional>
#include <string>

namespace larkspire {

// Runs one complete shell command line through the shell and waits for it. Logs
// "exec: <command>" before, and a WARN line when the status is not 0. Returns the raw wait
// status as system() reports it (exit code 1 comes back as 256, -1 when no shell started).
// Never throws for a failing command.
int RunCommand(const std::string& command);

// The same without any log line, for read-only checks that run often (a status of 0 is the
// answer "yes"). Goes through the same seam as RunCommand.
int RunCommandQuiet(const std::string& command);

// The seam behind RunCommand: tests install a recorder that keeps the command lines and
// decides their status. Returns the runner that was installed before. Passing an empty
// function restores the real shell.
using CommandRunner = std::function<int(const std::string& command)>;
CommandRunner ReplaceCommandRunner(CommandRunner runner);

}  // namespace larkspire
