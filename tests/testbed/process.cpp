// Temporary folders, scoped environment changes and child processes for tests.
#include "testbed/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tarnwick_testlibs/base/descriptor.h"

extern char** environ;

namespace testbed {

namespace fs = std::filesystem;

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "twk-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed: " + std::string(strerror(errno)));
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

std::string TempDir::write(const std::string& rel, const std::string& text) const {
  fs::path p = path_ / rel;
  writeFile(p, text);
  return p.string();
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  std::ostringstream buf;
  buf << in.rdbuf();
  return buf.str();
}

void writeFile(const fs::path& path, const std::string& text) {
  if (path.has_parent_path()) fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path.string());
  out << text;
}

// ---- ScopedEnv ----

ScopedEnv::ScopedEnv(std::initializer_list<std::pair<std::string, std::optional<std::string>>> changes) {
  for (const auto& [name, value] : changes) value ? set(name, *value) : unset(name);
}

ScopedEnv& ScopedEnv::apply(const EnvChanges& changes) {
  for (const auto& [name, value] : changes) value ? set(name, *value) : unset(name);
  return *this;
}

void ScopedEnv::remember(const std::string& name) {
  const char* old = getenv(name.c_str());
  saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
}

ScopedEnv& ScopedEnv::set(const std::string& name, const std::string& value) {
  remember(name);
  setenv(name.c_str(), value.c_str(), 1);
  return *this;
}

ScopedEnv& ScopedEnv::unset(const std::string& name) {
  remember(name);
  unsetenv(name.c_str());
  return *this;
}

ScopedEnv::~ScopedEnv() {
  // Newest first, so a variable changed twice ends with its original value.
  for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
    if (it->second)
      setenv(it->first.c_str(), it->second->c_str(), 1);
    else
      unsetenv(it->first.c_str());
  }
}

// ---- child processes ----

std::vector<std::string> environmentWith(const EnvChanges& changes) {
  std::vector<std::string> out;
  for (char** e = environ; *e; ++e) {
    std::string entry(*e);
    std::string name = entry.substr(0, entry.find('='));
    if (!changes.count(name)) out.push_back(entry);
  }
  for (const auto& [name, value] : changes)
    if (value) out.push_back(name + "=" + *value);
  return out;
}

namespace {

using tarnwick::FileDescriptor;

struct Pipe {
  Pipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    read.reset(fds[0]);
    write.reset(fds[1]);
  }
  FileDescriptor read, write;
};

// Replaces the child with `program`; a failure's errno goes to `reportFd` (when >= 0). The
// environment texts are made before the fork, while the parent's locks are consistent.
[[noreturn]] void execProgram(const std::string& program, const std::vector<std::string>& args,
                              std::vector<std::string>& envStrings, int reportFd) {
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);
  execvpe(program.c_str(), argv.data(), envp.data());
  int e = errno;
  if (reportFd >= 0) (void)!write(reportFd, &e, sizeof e);
  _exit(127);
}

[[noreturn]] void execChild(const std::string& program, const std::vector<std::string>& args, const RunOptions& options,
                            std::vector<std::string>& env, Pipe& in, Pipe& out, Pipe& err, Pipe& report) {
  setpgid(0, 0);
  dup2(in.read.get(), 0);
  dup2(out.write.get(), 1);
  dup2(err.write.get(), 2);
  if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) {
    int e = errno;
    (void)!write(report.write.get(), &e, sizeof e);
    _exit(127);
  }
  execProgram(program, args, env, report.write.get());
}

int decodeStatus(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return -1;
}

}  // namespace

RunResult runProgram(const std::string& program, const std::vector<std::string>& args, const RunOptions& options) {
  // A child that closes its input early must not kill the test with SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  Pipe in, out, err, report;
  auto env = environmentWith(options.env);
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) execChild(program, args, options, env, in, out, err, report);
  setpgid(pid, pid);
  in.read.reset();
  out.write.reset();
  err.write.reset();
  report.write.reset();

  int execErrno = 0;
  if (read(report.read.get(), &execErrno, sizeof execErrno) == sizeof execErrno) {
    int raw = 0;
    waitpid(pid, &raw, 0);
    throw std::runtime_error("cannot run " + program + ": " + strerror(execErrno));
  }

  RunResult result;
  fcntl(in.write.get(), F_SETFL, O_NONBLOCK);
  size_t written = 0;
  if (options.stdinText.empty()) in.write.reset();
  auto deadline = std::chrono::steady_clock::now() + options.timeout;
  std::optional<std::chrono::steady_clock::time_point> exitedAt;
  bool outOpen = true, errOpen = true;
  int raw = 0;
  while (true) {
    if (!exitedAt && waitpid(pid, &raw, WNOHANG) == pid) exitedAt = std::chrono::steady_clock::now();
    // A grandchild may keep the pipes open after the child is gone: give it a moment only.
    if (exitedAt &&
        ((!outOpen && !errOpen) || std::chrono::steady_clock::now() - *exitedAt > std::chrono::milliseconds(300)))
      break;
    if (!exitedAt && std::chrono::steady_clock::now() > deadline) {
      kill(-pid, SIGKILL);
      waitpid(pid, &raw, 0);
      result.timedOut = true;
      break;
    }
    std::vector<pollfd> fds;
    if (outOpen) fds.push_back({out.read.get(), POLLIN, 0});
    if (errOpen) fds.push_back({err.read.get(), POLLIN, 0});
    if (in.write.get() >= 0) fds.push_back({in.write.get(), POLLOUT, 0});
    poll(fds.data(), fds.size(), 50);
    for (const auto& p : fds) {
      if (!p.revents) continue;
      if (p.fd == in.write.get()) {
        ssize_t n = write(p.fd, options.stdinText.data() + written, options.stdinText.size() - written);
        if (n > 0) written += n;
        if (n < 0 && errno != EAGAIN) in.write.reset();
        if (written == options.stdinText.size()) in.write.reset();
        continue;
      }
      char buf[65536];
      ssize_t n = read(p.fd, buf, sizeof buf);
      bool isOut = p.fd == out.read.get();
      if (n > 0)
        (isOut ? result.out : result.err).append(buf, n);
      else if (n == 0 || errno != EAGAIN)
        (isOut ? outOpen : errOpen) = false;
    }
  }
  kill(-pid, SIGKILL);  // nothing the child started outlives the run
  result.status = decodeStatus(raw);
  return result;
}

BackgroundProcess::BackgroundProcess(const std::string& program, const std::vector<std::string>& args,
                                     const EnvChanges& env, const std::string& stderrPath) {
  Pipe in, out;
  int errFd = open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (errFd < 0) throw std::runtime_error("cannot open " + stderrPath);
  FileDescriptor errFile(errFd);
  auto envStrings = environmentWith(env);
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    setpgid(0, 0);
    dup2(in.read.get(), 0);
    dup2(out.write.get(), 1);
    dup2(errFile.get(), 2);
    execProgram(program, args, envStrings, -1);
  }
  setpgid(pid_, pid_);
  signal(SIGPIPE, SIG_IGN);
  stdinFd_ = dup(in.write.get());
  stdoutFd_ = dup(out.read.get());
  fcntl(stdinFd_, F_SETFD, FD_CLOEXEC);
  fcntl(stdoutFd_, F_SETFD, FD_CLOEXEC);
}

BackgroundProcess::~BackgroundProcess() {
  if (stdinFd_ >= 0) close(stdinFd_);
  if (stdoutFd_ >= 0) close(stdoutFd_);
  if (pid_ <= 0) return;
  kill(-pid_, SIGTERM);
  for (int i = 0; i < 60; ++i) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
      kill(-pid_, SIGKILL);  // anything it left behind in its group
      return;
    }
    usleep(50 * 1000);
  }
  kill(-pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

std::optional<std::string> BackgroundProcess::readLine(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    auto nl = pending_.find('\n');
    if (nl != std::string::npos) {
      std::string line = pending_.substr(0, nl);
      pending_.erase(0, nl + 1);
      return line;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd p{stdoutFd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[4096];
    ssize_t n = read(stdoutFd_, buf, sizeof buf);
    if (n <= 0) return std::nullopt;
    pending_.append(buf, n);
  }
}

}  // namespace testbed
