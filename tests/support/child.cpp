// Child processes for tests: pipes on the standard streams, a reader thread that
// drains them (so a chatty child never blocks on a full pipe), line reading with
// deadlines, and a destructor that leaves nothing behind.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "tests/support/test_desktop.hpp"

extern char** environ;

namespace quorl::testdesk {

namespace {

using Clock = std::chrono::steady_clock;

void closeFd(int& fd) {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

// The environment of a child: ours, with `env` applied ("" removes a variable).
std::vector<std::string> childEnvironment(const Env& env) {
  std::map<std::string, std::string> all;
  for (char** e = environ; e && *e; ++e) {
    std::string entry(*e);
    auto eq = entry.find('=');
    if (eq == std::string::npos) continue;
    all[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& [k, v] : env) {
    if (v.empty()) {
      all.erase(k);
    } else {
      all[k] = v;
    }
  }
  std::vector<std::string> out;
  out.reserve(all.size());
  for (const auto& [k, v] : all) out.push_back(k + "=" + v);
  return out;
}

// argv[0] as a path: itself when it names a path, else the first executable of
// that name on the child's PATH.
std::string resolveProgram(const std::string& name, const std::vector<std::string>& envp) {
  if (name.find('/') != std::string::npos) return name;
  std::string path = "/usr/local/bin:/usr/bin:/bin";
  for (const auto& e : envp) {
    if (e.rfind("PATH=", 0) == 0) path = e.substr(5);
  }
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    std::string dir = path.substr(start, end - start);
    if (dir.empty()) dir = ".";
    std::string candidate = dir + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return name;
}

void writeAll(int fd, const char* s) {
  size_t n = std::strlen(s);
  while (n > 0) {
    ssize_t w = ::write(fd, s, n);
    if (w <= 0) return;
    s += w;
    n -= static_cast<size_t>(w);
  }
}

int statusOf(const siginfo_t& info) {
  if (info.si_code == CLD_EXITED) return info.si_status;
  return 128 + info.si_status;
}

}  // namespace

// Drains the child's stdout and stderr into the buffers of the Child.
struct Child::Reader {
  std::mutex lock;
  std::condition_variable changed;
  bool outEof = false;
  bool errEof = false;
  int wake[2] = {-1, -1};
  std::thread thread;
};

std::unique_ptr<Child> Child::start(const std::vector<std::string>& argv, const Env& env) {
  return start(argv, env, StartOptions{});
}

std::unique_ptr<Child> Child::start(const std::vector<std::string>& argv, const Env& env,
                                    const StartOptions& options) {
  if (argv.empty()) throw std::invalid_argument("Child::start: empty argv");
  std::vector<std::string> envStrings = childEnvironment(env);
  std::string program = resolveProgram(argv[0], envStrings);
  std::vector<char*> cargv;
  for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
  cargv.push_back(nullptr);
  std::vector<char*> cenv;
  for (const auto& e : envStrings) cenv.push_back(const_cast<char*>(e.c_str()));
  cenv.push_back(nullptr);
  std::string failure = "exec failed: " + program + "\n";

  // Child-side ends first, parent-side ends second.
  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
  int logFd = -1;
  auto cleanup = [&] {
    for (int* p : {in, out, err}) {
      closeFd(p[0]);
      closeFd(p[1]);
    }
    closeFd(logFd);
  };
  bool ok = true;
  if (options.stdinNull) {
    in[0] = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ok = ok && in[0] >= 0;
  } else {
    ok = ok && ::pipe2(in, O_CLOEXEC) == 0;
  }
  if (!options.logFile.empty()) {
    logFd = ::open(options.logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    ok = ok && logFd >= 0;
  } else {
    ok = ok && ::pipe2(out, O_CLOEXEC) == 0 && ::pipe2(err, O_CLOEXEC) == 0;
  }
  if (!ok) {
    cleanup();
    throw std::runtime_error(std::string("Child::start: ") + std::strerror(errno));
  }
  int childIn = in[0];
  int childOut = logFd >= 0 ? logFd : out[1];
  int childErr = logFd >= 0 ? logFd : err[1];
  pid_t parent = ::getpid();

  pid_t pid = ::fork();
  if (pid < 0) {
    cleanup();
    throw std::runtime_error(std::string("Child::start: fork: ") + std::strerror(errno));
  }
  if (pid == 0) {
    // Only async-signal-safe calls from here on: the test may have threads.
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int s : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD}) ::sigaction(s, &dfl, nullptr);
    int pass = -1;
    if (options.passFd >= 0) pass = ::fcntl(options.passFd, F_DUPFD, 10);
    int fds[3] = {::fcntl(childIn, F_DUPFD, 10), ::fcntl(childOut, F_DUPFD, 10),
                  ::fcntl(childErr, F_DUPFD, 10)};
    for (int i = 0; i < 3; ++i) {
      if (fds[i] < 0 || ::dup2(fds[i], i) < 0) ::_exit(127);
    }
    if (pass >= 0) {
      if (::dup2(pass, 3) < 0) ::_exit(127);
    }
    // Nothing else of the test process leaks into the child.
    ::syscall(SYS_close_range, pass >= 0 ? 4u : 3u, ~0u, 0u);
    ::execve(program.c_str(), cargv.data(), cenv.data());
    writeAll(2, failure.c_str());
    ::_exit(127);
  }

  std::unique_ptr<Child> child(new Child());
  child->pid_ = pid;
  closeFd(in[0]);
  closeFd(out[1]);
  closeFd(err[1]);
  closeFd(logFd);
  child->in_ = in[1];
  child->out_ = out[0];
  child->err_ = err[0];
  child->reader_ = std::make_unique<Reader>();
  Reader& r = *child->reader_;
  r.outEof = child->out_ < 0;
  r.errEof = child->err_ < 0;
  if (::pipe2(r.wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    throw std::runtime_error("Child::start: pipe");
  }
  Child* self = child.get();
  r.thread = std::thread([self] { self->pump(); });
  return child;
}

void Child::pump() {
  Reader& r = *reader_;
  int out = out_, err = err_;
  char buf[65536];
  while (out >= 0 || err >= 0) {
    pollfd fds[3] = {{out, POLLIN, 0}, {err, POLLIN, 0}, {r.wake[0], POLLIN, 0}};
    int n = ::poll(fds, 3, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[2].revents) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !fds[i].revents) continue;
      ssize_t got = ::read(fds[i].fd, buf, sizeof buf);
      if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      std::lock_guard<std::mutex> g(r.lock);
      if (got > 0) {
        (i == 0 ? outBuffer_ : errBuffer_).append(buf, static_cast<size_t>(got));
      } else {
        (i == 0 ? r.outEof : r.errEof) = true;
        (i == 0 ? out : err) = -1;
      }
      r.changed.notify_all();
    }
  }
  std::lock_guard<std::mutex> g(r.lock);
  r.outEof = true;
  r.errEof = true;
  r.changed.notify_all();
}

Child::~Child() {
  closeStdin();
  if (!exited()) {
    // Still running: the child and its whole process group go (a shell's
    // children too).  While the leader is not reaped, the group id cannot be
    // reused by anyone else.
    ::kill(-pid_, SIGTERM);
    ::kill(pid_, SIGTERM);
    auto end = Clock::now() + 2000ms;
    auto interval = 1ms;
    while (!leaderEnded() && Clock::now() < end) {
      std::this_thread::sleep_for(interval);
      interval = std::min<std::chrono::milliseconds>(interval * 2, 20ms);
    }
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  // A child that ended on its own keeps what it started in the background (an
  // application a launcher started, say); the desktop sweeps those at its end.
  if (reader_) {
    if (reader_->wake[1] >= 0) {
      char c = 1;
      [[maybe_unused]] ssize_t w = ::write(reader_->wake[1], &c, 1);
    }
    if (reader_->thread.joinable()) reader_->thread.join();
    closeFd(reader_->wake[0]);
    closeFd(reader_->wake[1]);
  }
  closeFd(out_);
  closeFd(err_);
}

bool Child::writeLine(const std::string& line) {
  if (in_ < 0) return false;
  std::string data = line + "\n";
  // A child that closed its stdin must not kill the test with SIGPIPE.
  sigset_t pipeSet, old;
  sigemptyset(&pipeSet);
  sigaddset(&pipeSet, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSet, &old);
  bool ok = true;
  size_t done = 0;
  bool gotPipe = false;
  while (done < data.size()) {
    ssize_t w = ::write(in_, data.data() + done, data.size() - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      ok = false;
      gotPipe = errno == EPIPE;
      break;
    }
    done += static_cast<size_t>(w);
  }
  if (gotPipe) {
    timespec zero{0, 0};
    sigtimedwait(&pipeSet, nullptr, &zero);
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return ok;
}

void Child::closeStdin() { closeFd(in_); }

std::optional<std::string> Child::readLine(std::chrono::milliseconds deadline) {
  Reader& r = *reader_;
  std::unique_lock<std::mutex> g(r.lock);
  r.changed.wait_for(g, deadline, [&] {
    return outBuffer_.find('\n') != std::string::npos || r.outEof;
  });
  auto nl = outBuffer_.find('\n');
  if (nl != std::string::npos) {
    std::string line = outBuffer_.substr(0, nl);
    outBuffer_.erase(0, nl + 1);
    return line;
  }
  if (r.outEof && !outBuffer_.empty()) {
    std::string line;
    line.swap(outBuffer_);
    return line;
  }
  return std::nullopt;
}

std::optional<nlohmann::json> Child::readJsonUntil(
    const std::function<bool(const nlohmann::json&)>& pred, std::chrono::milliseconds deadline) {
  auto end = Clock::now() + deadline;
  while (true) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    if (left < 0ms) left = 0ms;
    auto line = readLine(left);
    if (!line) return std::nullopt;
    auto j = nlohmann::json::parse(*line, nullptr, false);
    if (!j.is_discarded() && pred(j)) return j;
    skipped_.push_back(*line);
  }
}

std::string Child::stderrText() {
  std::lock_guard<std::mutex> g(reader_->lock);
  return errBuffer_;
}

std::string Child::stdoutText() {
  std::lock_guard<std::mutex> g(reader_->lock);
  return outBuffer_;
}

bool Child::waitOutputEnd(std::chrono::milliseconds deadline) {
  Reader& r = *reader_;
  std::unique_lock<std::mutex> g(r.lock);
  return r.changed.wait_for(g, deadline, [&] { return r.outEof && r.errEof; });
}

bool Child::exited() {
  if (status_) return true;
  siginfo_t info{};
  while (true) {
    int rc = ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG);
    if (rc == 0) break;
    if (errno == EINTR) continue;
    status_ = -1;  // not our child any more: nothing to wait for
    return true;
  }
  if (info.si_pid == pid_) {
    status_ = statusOf(info);
    return true;
  }
  return false;
}

// Whether the child has ended, without reaping it (its id stays reserved).
bool Child::leaderEnded() {
  siginfo_t info{};
  while (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
    if (errno != EINTR) return true;
  }
  return info.si_pid == pid_;
}

std::optional<int> Child::waitExit(std::chrono::milliseconds deadline) {
  auto end = Clock::now() + deadline;
  auto interval = 1ms;
  while (!exited()) {
    if (Clock::now() >= end) return std::nullopt;
    std::this_thread::sleep_for(interval);
    interval = std::min<std::chrono::milliseconds>(interval * 2, 20ms);
  }
  return status_;
}

bool Child::running() { return !exited(); }

void Child::kill(int signal) {
  if (!exited()) ::kill(pid_, signal);
}

void Child::killGroup(int signal) {
  if (!exited()) ::kill(-pid_, signal);
}

RunResult run(const std::vector<std::string>& argv, const Env& env,
              std::chrono::milliseconds deadline) {
  RunResult result;
  StartOptions options;
  options.stdinNull = true;
  auto child = Child::start(argv, env, options);
  auto status = child->waitExit(deadline);
  if (!status) {
    child->killGroup(SIGKILL);
    child->waitExit(5000ms);
    result.status = -1;
  } else {
    result.status = *status;
  }
  // Output written just before the exit is still in the pipe.
  child->waitOutputEnd(status ? 2000ms : 200ms);
  result.out = child->stdoutText();
  result.err = child->stderrText();
  if (!status) result.err += "\n[timed out after " + std::to_string(deadline.count()) + " ms]";
  return result;
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds deadline,
             std::chrono::milliseconds interval) {
  auto end = Clock::now() + deadline;
  while (true) {
    if (condition()) return true;
    if (Clock::now() >= end) return condition();
    std::this_thread::sleep_for(interval);
  }
}

std::string binDir() {
  if (const char* d = std::getenv("QUORL_BIN_DIR"); d && *d) return d;
  return QUORL_BIN_DIR;
}

std::string sourceDir() {
  if (const char* d = std::getenv("QUORL_SOURCE_DIR"); d && *d) return d;
  return QUORL_SOURCE_DIR;
}

}  // namespace quorl::testdesk
