// Test helpers for the operating system side: temporary folders, environment changes that undo
// themselves, and running a program with captured output.
#pragma once
#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testbed {

// A fresh folder below the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }
  std::filesystem::path operator/(const std::string& rel) const { return path_ / rel; }
  // Writes `text` to `rel` (parents created) and returns the full path.
  std::string write(const std::string& rel, const std::string& text) const;

 private:
  std::filesystem::path path_;
};

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& text);

// Environment changes for a child: a value sets the variable, nullopt removes it.
using EnvChanges = std::map<std::string, std::optional<std::string>>;

// Sets and unsets environment variables; the earlier values come back on destruction.
class ScopedEnv {
 public:
  ScopedEnv() = default;
  ScopedEnv(std::initializer_list<std::pair<std::string, std::optional<std::string>>> changes);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

  ScopedEnv& set(const std::string& name, const std::string& value);
  ScopedEnv& unset(const std::string& name);
  ScopedEnv& apply(const EnvChanges& changes);

 private:
  void remember(const std::string& name);
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

struct RunOptions {
  EnvChanges env;
  std::string stdinText;
  std::string cwd;  // empty: the caller's
  std::chrono::milliseconds timeout{std::chrono::seconds(120)};
};

struct RunResult {
  int status = -1;  // exit code; 128 + signal number when killed by a signal
  std::string out;
  std::string err;
  bool timedOut = false;
};

// Runs `program` (a path, or a name looked up in PATH) without a shell, in its own process
// group; on time-out the whole group is killed.
RunResult runProgram(const std::string& program, const std::vector<std::string>& args, const RunOptions& options = {});

// A long-running child (a server) in its own process group. Its standard input stays open as a
// lifeline: the child is expected to end when it closes, so nothing outlives a crashed test.
// Destruction closes it, then terminates the group (SIGTERM, then SIGKILL).
class BackgroundProcess {
 public:
  BackgroundProcess(const std::string& program, const std::vector<std::string>& args, const EnvChanges& env,
                    const std::string& stderrPath);
  ~BackgroundProcess();
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

  // The next line of the child's standard output, or nullopt on time-out or end of output.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout);

 private:
  int pid_ = -1;
  int stdinFd_ = -1;
  int stdoutFd_ = -1;
  std::string pending_;
};

// The current environment with `changes` applied, as NAME=value texts.
std::vector<std::string> environmentWith(const EnvChanges& changes);

}  // namespace testbed
