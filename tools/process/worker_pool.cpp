#include "process/worker_pool.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

extern char** environ;

// A sanitizer reserves terabytes of address space at start: an address-space
// cap would stop it from starting, so its own RSS limit stands in for it.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define BONE_TOOLS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define BONE_TOOLS_SANITIZER 1
#endif
#endif

namespace Vantorix {
namespace Bone_Tools {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint64_t MIB = 1024ull * 1024;
constexpr std::uint64_t GIB = 1024 * MIB;

// --- Signals: the handler only writes the signal's number to a pipe --------

int signal_pipe_write = -1;

void On_Signal(int number) {
  const unsigned char byte = static_cast<unsigned char>(number);
  const int saved = errno;
  if (write(signal_pipe_write, &byte, 1) < 0) {
  }
  errno = saved;
}

class Signal_Catcher {
 public:
  Signal_Catcher() {
    if (pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error(std::string("pipe: ") + strerror(errno));
    signal_pipe_write = fds_[1];
    struct sigaction action {};
    action.sa_handler = On_Signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int s = 0; s < 2; ++s) {
      sigaction(SIGNALS[s], nullptr, &old_[s]);
      // A signal the caller ignores (nohup, a background job) stays ignored.
      if (old_[s].sa_handler != SIG_IGN) sigaction(SIGNALS[s], &action, nullptr);
    }
  }
  ~Signal_Catcher() {
    for (int s = 0; s < 2; ++s) sigaction(SIGNALS[s], &old_[s], nullptr);
    signal_pipe_write = -1;
    close(fds_[0]);
    close(fds_[1]);
  }
  Signal_Catcher(const Signal_Catcher&) = delete;
  Signal_Catcher& operator=(const Signal_Catcher&) = delete;

  int Fd() const { return fds_[0]; }
  // The last signal caught since the previous call; 0 when none.
  int Caught() {
    unsigned char bytes[16];
    int last = 0;
    for (ssize_t n; (n = read(fds_[0], bytes, sizeof bytes)) > 0;) last = bytes[n - 1];
    return last;
  }

 private:
  static constexpr int SIGNALS[2] = {SIGINT, SIGTERM};
  int fds_[2] = {-1, -1};
  struct sigaction old_[2];
};

// --- Starting a worker -----------------------------------------------------

struct Running {
  pid_t pid = -1;
  int fd = -1;  // the read end of its answer pipe; -1 once it has ended
  std::size_t task = 0;
  std::string output;
  Clock::time_point deadline;
  bool timed_out = false;
};

// The environment of a worker. Under a sanitizer: crashes end the worker by
// their signal (as they would without it), and the memory cap is an RSS
// limit.
std::vector<std::string> Worker_Environment(const Worker_Limits& limits) {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry; ++entry) environment.emplace_back(*entry);
#ifdef BONE_TOOLS_SANITIZER
  const std::string extra =
      "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:handle_abort=0:"
      "hard_rss_limit_mb=" +
      std::to_string(std::max<std::uint64_t>(1, limits.memory / MIB));
  for (const char* name : {"ASAN_OPTIONS=", "TSAN_OPTIONS="}) {
    const auto found = std::find_if(environment.begin(), environment.end(),
                                    [&](const std::string& e) { return e.rfind(name, 0) == 0; });
    if (found == environment.end())
      environment.push_back(name + extra);
    else
      *found += ":" + extra;
  }
#else
  (void)limits;
#endif
  return environment;
}

Running Start(const Worker_Pool_Settings& settings, const std::vector<std::string>& arguments, std::size_t task) {
  // Everything the child needs is made before fork: after it, the child calls
  // only what is safe between fork and exec.
  std::vector<std::string> words = {settings.program, WORKER_OPTION};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  std::vector<std::string> environment = Worker_Environment(settings.limits);
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  const rlimit cap{settings.limits.memory, settings.limits.memory};
  const pid_t parent = getpid();

  int answer[2];
  if (pipe2(answer, O_CLOEXEC) != 0) throw std::runtime_error(std::string("cannot start a worker: ") + strerror(errno));
  const pid_t pid = fork();
  if (pid < 0) {
    const int error = errno;
    close(answer[0]);
    close(answer[1]);
    throw std::runtime_error(std::string("cannot start a worker: ") + strerror(error));
  }
  if (pid == 0) {
    setpgid(0, 0);  // its own group: the terminal's Ctrl-C goes to the parent, which decides
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0 || dup2(null, STDIN_FILENO) < 0 || dup2(null, STDOUT_FILENO) < 0) _exit(127);
    if (answer[1] == WORKER_RESULT_FD ? fcntl(WORKER_RESULT_FD, F_SETFD, 0) != 0
                                      : dup2(answer[1], WORKER_RESULT_FD) < 0)
      _exit(127);
#ifndef BONE_TOOLS_SANITIZER
    if (setrlimit(RLIMIT_AS, &cap) != 0) _exit(127);
#else
    (void)cap;
#endif
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  setpgid(pid, pid);  // also here, so that the group exists before any kill
  close(answer[1]);
  fcntl(answer[0], F_SETFL, O_NONBLOCK);
  Running running;
  running.pid = pid;
  running.fd = answer[0];
  running.task = task;
  running.deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(std::min(settings.limits.timeout, 1e9)));
  return running;
}

// Reads what is there; closes the pipe at its end.
void Drain(Running& worker) {
  char buffer[65536];
  for (;;) {
    const ssize_t n = read(worker.fd, buffer, sizeof buffer);
    if (n > 0) {
      worker.output.append(buffer, std::size_t(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      if (n == 0 || errno != EAGAIN) {
        close(worker.fd);
        worker.fd = -1;
      }
      return;
    }
  }
}

Worker_Result Outcome(Running& worker, int status, const rusage& usage, const Worker_Limits& limits) {
  Worker_Result result;
  const std::uint64_t peak = std::uint64_t(usage.ru_maxrss) * 1024;
  if (worker.timed_out) {
    result.status = Worker_Result::Status::TIMED_OUT;
  } else if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && !worker.output.empty()) {
    result.status = Worker_Result::Status::FINISHED;
    result.output = std::move(worker.output);
  } else if ((WIFEXITED(status) && WEXITSTATUS(status) == WORKER_OUT_OF_MEMORY) || peak >= limits.memory / 10 * 9) {
    // Its allocation failed, or something ended it when its memory reached the cap.
    result.status = Worker_Result::Status::OUT_OF_MEMORY;
  } else if (WIFSIGNALED(status)) {
    result.status = Worker_Result::Status::CRASHED;
    result.signal = WTERMSIG(status);
  } else {
    result.status = Worker_Result::Status::FAILED;
    result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  return result;
}

// The workers still running; whatever ends the run kills and reaps them.
class Running_Workers {
 public:
  ~Running_Workers() { Kill_All(); }
  std::vector<Running> list;
  void Kill_All() {
    for (Running& worker : list) {
      kill(-worker.pid, SIGKILL);
      waitpid(worker.pid, nullptr, 0);
      if (worker.fd >= 0) close(worker.fd);
    }
    list.clear();
  }
};

}  // namespace

std::uint64_t Default_Memory_Limit(unsigned int jobs) {
  const long pages = sysconf(_SC_PHYS_PAGES), page_size = sysconf(_SC_PAGE_SIZE);
  const std::uint64_t total = pages > 0 && page_size > 0 ? std::uint64_t(pages) * std::uint64_t(page_size) : 4 * GIB;
  return std::max<std::uint64_t>(256 * MIB, std::min<std::uint64_t>(2 * GIB, total / 2 / std::max(1u, jobs)));
}

std::string Describe_Bytes(std::uint64_t bytes) {
  char text[32];
  if (bytes >= GIB)
    std::snprintf(text, sizeof text, "%.1f GiB", double(bytes) / double(GIB));
  else
    std::snprintf(text, sizeof text, "%.0f MiB", double(bytes) / double(MIB));
  return text;
}

std::uint64_t Parse_Memory_Size(const std::string& text) {
  char* end = nullptr;
  const double number = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || !std::isfinite(number) || number <= 0)
    throw std::invalid_argument(text + " is not a size such as 2G or 512M");
  std::string unit(end);
  for (char& c : unit) c = char(std::toupper(static_cast<unsigned char>(c)));
  if (unit.size() > 1 && (unit.substr(1) == "IB" || unit.substr(1) == "B")) unit = unit.substr(0, 1);
  const std::string units = "KMGT";
  double scale = 1;
  if (!unit.empty()) {
    const std::size_t power = units.find(unit);
    if (unit.size() != 1 || power == std::string::npos)
      throw std::invalid_argument(text + " is not a size such as 2G or 512M");
    scale = std::pow(1024.0, double(power + 1));
  }
  const double bytes = number * scale;
  if (bytes < double(64 * MIB)) throw std::invalid_argument(text + " is less than the least memory limit, 64M");
  if (bytes > 1e18) throw std::invalid_argument(text + " is more memory than any machine has");
  return std::uint64_t(bytes);
}

std::string Worker_Result::Reason(const Worker_Limits& limits) const {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%g", limits.timeout);
  switch (status) {
    case Status::FINISHED:
      return "";
    case Status::CRASHED:
      return "the importer crashed (signal " + std::to_string(signal) + ")";
    case Status::OUT_OF_MEMORY:
      return "ran out of its " + Describe_Bytes(limits.memory) + " memory limit";
    case Status::TIMED_OUT:
      return std::string("took longer than ") + seconds + " s";
    case Status::FAILED:
      break;
  }
  return "the importer's worker process failed (exit status " + std::to_string(exit_status) + ")";
}

int Run_Workers(const std::vector<std::vector<std::string>>& tasks, const Worker_Pool_Settings& given,
                const std::function<void(std::size_t task, Worker_Result result)>& done) {
  Worker_Pool_Settings settings = given;
  settings.jobs = std::max(1u, settings.jobs);
  if (settings.limits.memory == 0) settings.limits.memory = Default_Memory_Limit(settings.jobs);
  Signal_Catcher signals;
  Running_Workers running;
  std::size_t next = 0;
  for (;;) {
    if (const int caught = signals.Caught()) return caught;  // Running_Workers kills the rest
    while (running.list.size() < settings.jobs && next < tasks.size()) {
      running.list.push_back(Start(settings, tasks[next], next));
      ++next;
    }
    if (running.list.empty()) return 0;

    // Wait for an answer, an end, a signal or the nearest deadline.
    std::vector<pollfd> watched{{signals.Fd(), POLLIN, 0}};
    auto wait = std::chrono::milliseconds(1000);
    const Clock::time_point now = Clock::now();
    for (const Running& worker : running.list) {
      if (worker.fd >= 0) watched.push_back({worker.fd, POLLIN, 0});
      // An answer that has ended while its process has not: look again soon.
      const auto left = worker.fd >= 0 ? std::chrono::duration_cast<std::chrono::milliseconds>(worker.deadline - now)
                                       : std::chrono::milliseconds(5);
      wait = std::max(std::chrono::milliseconds(0), std::min(wait, left + std::chrono::milliseconds(1)));
    }
    if (poll(watched.data(), watched.size(), int(wait.count())) < 0 && errno != EINTR)
      throw std::runtime_error(std::string("poll: ") + strerror(errno));

    for (std::size_t w = 0; w < running.list.size();) {
      Running& worker = running.list[w];
      if (worker.fd >= 0) Drain(worker);
      int status = 0;
      rusage usage{};
      pid_t ended = worker.fd >= 0 ? 0 : wait4(worker.pid, &status, WNOHANG, &usage);
      if (ended == 0 && Clock::now() >= worker.deadline) {
        kill(-worker.pid, SIGKILL);
        worker.timed_out = true;
        ended = wait4(worker.pid, &status, 0, &usage);
        if (worker.fd >= 0) close(worker.fd);
        worker.fd = -1;
      }
      if (ended == 0) {
        ++w;
        continue;
      }
      kill(-worker.pid, SIGKILL);  // anything it left behind in its group
      Worker_Result result = Outcome(worker, status, usage, settings.limits);
      const std::size_t task = worker.task;
      running.list.erase(running.list.begin() + std::ptrdiff_t(w));
      done(task, std::move(result));
    }
  }
}

void Exit_When_Memory_Runs_Out() {
  std::set_new_handler([] { std::_Exit(WORKER_OUT_OF_MEMORY); });
}

bool Send_To_Parent(const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = write(WORKER_RESULT_FD, bytes.data() + sent, bytes.size() - sent);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += std::size_t(n);
  }
  return true;
}

Message_Writer& Message_Writer::Text(const std::string& text) {
  Count(text.size());
  bytes_ += text;
  return *this;
}

Message_Writer& Message_Writer::Number(double value) {
  char raw[sizeof value];
  std::memcpy(raw, &value, sizeof value);
  bytes_.append(raw, sizeof raw);
  return *this;
}

Message_Writer& Message_Writer::Count(std::uint64_t count) {
  char raw[sizeof count];
  std::memcpy(raw, &count, sizeof count);
  bytes_.append(raw, sizeof raw);
  return *this;
}

const char* Message_Reader::Take(std::size_t size) {
  if (size > bytes_.size() - at_) throw std::runtime_error("the worker's answer ends too soon");
  const char* start = bytes_.data() + at_;
  at_ += size;
  return start;
}

std::string Message_Reader::Text() {
  const std::uint64_t size = Count();
  if (size > bytes_.size() - at_) throw std::runtime_error("the worker's answer ends too soon");
  return std::string(Take(std::size_t(size)), std::size_t(size));
}

double Message_Reader::Number() {
  double value;
  std::memcpy(&value, Take(sizeof value), sizeof value);
  return value;
}

std::uint64_t Message_Reader::Count() {
  std::uint64_t count;
  std::memcpy(&count, Take(sizeof count), sizeof count);
  return count;
}

}  // namespace Bone_Tools
}  // namespace Vantorix
