#include "support.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include "io/out_buffer.hpp"
#include "ps/listing.hpp"
#include "rewrite/rewrite.hpp"

namespace psrate::test {

const std::string kUsagePrefix =
    "\x88\xf8\x90\x94\x82\xaa\x95\x73\x90\xb3\x82\xc5\x82\xb7\x81\x42\nusage: ";
const std::string kCannotOpen =
    "\x93\xc7\x82\xdd\x8e\xe6\x82\xe8\x83\x74\x83\x40\x83\x43\x83\x8b\x82\xaa\x8a\x4a\x82\xaf"
    "\x82\xdc\x82\xb9\x82\xf1\x82\xc5\x82\xb5\x82\xbd\x81\x42\n";
const std::string kSeekError = "\x83\x56\x81\x5b\x83\x4e\x83\x47\x83\x89\x81\x5b\x82\xc5\x82\xb7\n";
const std::string kReadError =
    "\x93\xc7\x82\xdd\x8e\xe6\x82\xe8\x83\x47\x83\x89\x81\x5b\x82\xc5\x82\xb7\n";
const std::string kWriteError =
    "\x8f\x91\x82\xab\x8d\x9e\x82\xdd\x83\x47\x83\x89\x81\x5b\x82\xc5\x82\xb7\n";

std::string progress(int64_t done, int64_t total, int64_t percent, char end) {
  return "\x8f\x88\x97\x9d: " + std::to_string(done) + "/" + std::to_string(total) +
         "\x83\x6f\x83\x43\x83\x67 (" + std::to_string(percent) + "%)" + end;
}

int memory_file(const Bytes& bytes) {
  int fd = ::memfd_create("psrate-test", MFD_CLOEXEC);
  if (fd < 0) std::abort();
  if (!bytes.empty() && !write_all(fd, bytes.data(), bytes.size())) std::abort();
  ::lseek(fd, 0, SEEK_SET);
  return fd;
}

Bytes file_bytes(int fd) {
  Bytes b(size_t(::lseek(fd, 0, SEEK_END)));
  if (!b.empty() && ::pread(fd, b.data(), b.size(), 0) != ssize_t(b.size())) std::abort();
  return b;
}

namespace {

Failure list_into(void* context, const Unit& unit, const ReadWindow&) {
  list_unit(*static_cast<OutBuffer*>(context), unit);
  return Failure::None;
}

PassResult run_pass(StreamFile& file, RunMode mode, uint32_t bitrate, size_t window_size) {
  static OutBuffer out;
  std::string captured;
  out.capture = &captured;
  out.used = 0;
  out.failed = false;
  std::vector<uint8_t> buffer(window_size);
  ReadWindow window;
  window.buffer = buffer;
  ScanConfig config;
  config.mode = mode;
  RateRewriter rewriter;
  if (mode == RunMode::Dump) {
    config.on_unit = list_into;
    config.context = &out;
  } else {
    rewriter.file = &file;
    rewriter.out = &out;
    rewriter.rate_units = bitrate / kBitsPerRateUnit;
    file_size(file, rewriter.file_size);
    config.on_unit = rewrite_unit;
    config.context = &rewriter;
  }
  Failure f = scan_stream(file, window, config);
  if (f == Failure::None && mode == RunMode::Rewrite) put_progress(rewriter, window.base, '\n');
  flush(out);
  out.capture = nullptr;
  return {f, captured, window.base};
}

}  // namespace

PassResult dump(const Bytes& bytes, size_t window_size) {
  StreamFile file;
  file.fd = memory_file(bytes);
  PassResult r = run_pass(file, RunMode::Dump, 0, window_size);
  file_close(file);
  return r;
}

PassResult rewrite(Bytes& bytes, uint32_t bitrate, size_t window_size) {
  StreamFile file;
  file.fd = memory_file(bytes);
  PassResult r = run_pass(file, RunMode::Rewrite, bitrate, window_size);
  bytes = file_bytes(file.fd);
  file_close(file);
  return r;
}

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

RunResult run_psrate(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                     const char* stdout_path) {
  int out = ::memfd_create("out", MFD_CLOEXEC);
  int err = ::memfd_create("err", MFD_CLOEXEC);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> env_strings;
  for (char** e = environ; *e; ++e) env_strings.emplace_back(*e);
  env_strings.insert(env_strings.end(), env.begin(), env.end());
  std::vector<char*> envp;
  for (std::string& e : env_strings) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    int null_in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ::dup2(null_in, 0);
    if (stdout_path && !*stdout_path)
      ::close(1);
    else
      ::dup2(stdout_path ? ::open(stdout_path, O_WRONLY | O_CLOEXEC) : out, 1);
    ::dup2(err, 2);
    ::execve(PSRATE_BIN, args.data(), envp.data());
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  RunResult r{WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), slurp_fd(out),
              slurp_fd(err)};
  ::close(out);
  ::close(err);
  return r;
}

}  // namespace psrate::test
