// SPDX-License-Identifier: MIT
#include "e2e_support.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string_view>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

namespace psrate::test {

std::string temp_dir() {
  static std::string dir = [] {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/psrate-test-XXXXXX";
    if (!::mkdtemp(tmpl.data())) std::abort();
    return tmpl;
  }();
  return dir;
}

std::string write_temp(const std::string& name, const Bytes& bytes) {
  std::string path = temp_dir() + "/" + name;
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  return path;
}

Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

namespace {

std::string slurp_fd(int fd) {
  std::string s;
  ::lseek(fd, 0, SEEK_SET);
  char buf[65536];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) s.append(buf, size_t(n));
  return s;
}

}  // namespace

const std::string& psrate_bin() {
  static const std::string bin = [] {
    const char* b = std::getenv("PSRATE_TEST_BIN");
    return std::string(b && *b ? b : PSRATE_BIN);
  }();
  return bin;
}

namespace {

// The wrapper command, split at spaces.
std::vector<std::string> wrapper_words() {
  std::vector<std::string> words;
  const char* w = std::getenv("PSRATE_TEST_WRAPPER");
  std::string word;
  for (const char* p = w ? w : "";; ++p) {
    if (*p != ' ' && *p != '\0') {
      word += *p;
      continue;
    }
    if (!word.empty()) words.push_back(word);
    word.clear();
    if (*p == '\0') return words;
  }
}

int exit_status(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int wait_for(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return exit_status(status);
}

// Starts the binary with standard input on /dev/null and standard output and
// error on out_fd and err_fd.
pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, int out_fd,
            int err_fd) {
  std::vector<std::string> command = wrapper_words();
  if (command.empty()) {
    command = argv;
  } else {
    command.push_back(psrate_bin());
    if (!argv.empty()) command.insert(command.end(), argv.begin() + 1, argv.end());
  }
  std::vector<char*> args;
  for (std::string& a : command) args.push_back(a.data());
  args.push_back(nullptr);
  // The C locale, as in scripts and logs (Shift_JIS messages), unless the
  // test sets the locale itself; a variable the test sets replaces the inherited one.
  auto name_of = [](std::string_view e) { return e.substr(0, e.find('=') + 1); };
  auto given = [&](std::string_view name) {
    for (const std::string& e : env)
      if (name_of(e) == name) return true;
    return false;
  };
  std::vector<std::string> env_strings;
  for (char** e = environ; *e; ++e)
    if (name_of(*e) != "LC_ALL=" && !given(name_of(*e))) env_strings.emplace_back(*e);
  if (!given("LC_ALL=")) env_strings.emplace_back("LC_ALL=C");
  env_strings.insert(env_strings.end(), env.begin(), env.end());
  std::vector<char*> envp;
  for (std::string& e : env_strings) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    int null_in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ::dup2(null_in, 0);
    if (out_fd < 0)
      ::close(1);
    else
      ::dup2(out_fd, 1);
    ::dup2(err_fd, 2);
    if (wrapped())
      ::execvpe(args[0], args.data(), envp.data());
    else
      ::execve(psrate_bin().c_str(), args.data(), envp.data());
    ::_exit(127);
  }
  return pid;
}

}  // namespace

bool wrapped() { return !wrapper_words().empty(); }

std::string program_name(const std::string& argv0) {
  const char* given = std::getenv("PSRATE_TEST_ARGV0");
  return wrapped() ? std::string(given ? given : "(PSRATE_TEST_ARGV0 unset)") : argv0;
}

RunResult run_psrate(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                     const char* stdout_path) {
  // "" closes standard output
  int out = !stdout_path   ? ::memfd_create("out", MFD_CLOEXEC)
            : *stdout_path ? ::open(stdout_path, O_WRONLY | O_CLOEXEC)
                           : -1;
  int err = ::memfd_create("err", MFD_CLOEXEC);
  pid_t pid = spawn(argv, env, out, err);
  int status = wait_for(pid);
  RunResult r{status, stdout_path ? std::string() : slurp_fd(out), slurp_fd(err)};
  if (out >= 0) ::close(out);
  ::close(err);
  return r;
}

StartedRun start_psrate(const std::vector<std::string>& argv) {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) std::abort();
  StartedRun run;
  run.err = ::memfd_create("err", MFD_CLOEXEC);
  run.pid = spawn(argv, {}, pipe_fds[1], run.err);
  ::close(pipe_fds[1]);
  run.out = pipe_fds[0];
  run.pipe_size = size_t(::fcntl(run.out, F_GETPIPE_SZ));
  ::fcntl(run.out, F_SETFL, O_NONBLOCK);
  return run;
}

bool await_output(const StartedRun& run, int timeout_ms) {
  pollfd p{run.out, POLLIN, 0};
  if (::poll(&p, 1, timeout_ms) == 1 && (p.revents & POLLIN) != 0) return true;
  ::kill(run.pid, SIGKILL);
  return false;
}

RunResult finish(StartedRun& run) {
  RunResult r{};
  bool exited = false;
  int status = 0;
  char buf[65536];
  // Until the end of the pipe, or until the program has exited and its last
  // bytes are read: a process it started may still hold the pipe.
  for (;;) {
    ssize_t n = ::read(run.out, buf, sizeof buf);
    if (n > 0) {
      r.out.append(buf, size_t(n));
      continue;
    }
    if (n == 0 || exited) break;
    if (::waitpid(run.pid, &status, WNOHANG) == run.pid) {
      exited = true;
      continue;
    }
    pollfd p{run.out, POLLIN, 0};
    ::poll(&p, 1, 100);
  }
  r.status = exited ? exit_status(status) : wait_for(run.pid);
  r.err = slurp_fd(run.err);
  ::close(run.out);
  ::close(run.err);
  run.pid = run.out = run.err = -1;
  return r;
}

std::string cannot_open(const std::string& path, const std::string& reason) {
  return "psrate: cannot open '" + path + "': " + reason + "\n";
}

std::string file_cause(const std::string& path, const std::string& reason) {
  return "psrate: '" + path + "': " + reason + "\n";
}

namespace {

std::string without_reasons(const std::string& text) {
  std::string out;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    end = end == std::string::npos ? text.size() : end + 1;
    std::string line = text.substr(at, end - at);
    size_t cut = line.rfind("': ");
    if (line.rfind("psrate: ", 0) == 0 && cut != std::string::npos) line.resize(cut + 3);
    out += line;
    at = end;
  }
  return out;
}

}  // namespace

void expect_err(const std::string& actual, const std::string& expected) {
  if (wrapped())
    EXPECT_EQ(without_reasons(actual), without_reasons(expected));
  else
    EXPECT_EQ(actual, expected);
}

}  // namespace psrate::test
