// Work on one file in a process of its own, so that nothing a file does to its
// reader (a crash, an allocation without bound, an endless loop) reaches the
// command that asked for it:
//
//   Worker_Pool_Settings settings;            // program, jobs, memory and time caps
//   const int signal = Run_Workers(tasks, settings, [&](std::size_t task, Worker_Result result) {
//     if (result.status == Worker_Result::Status::FINISHED) ... result.output ...
//     else ... result.Reason(settings.limits) ...   // "the importer crashed (signal 11)"
//   });
//   if (signal) ...                           // SIGINT or SIGTERM stopped the run
//
// Each worker is `PROGRAM --worker ARGUMENTS...` (the tool itself), started
// with fork and exec in a process group of its own, with its address space
// capped (setrlimit RLIMIT_AS), its standard input and output on /dev/null and
// its answer written to file descriptor 3 (WORKER_RESULT_FD). The parent kills
// a worker's group when its time is up, and every worker when the parent is
// interrupted or dies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace Vantorix {
namespace Bone_Tools {

// The option that makes the tool a worker, and where a worker writes its answer.
inline constexpr const char WORKER_OPTION[] = "--worker";
inline constexpr int WORKER_RESULT_FD = 3;
// The exit status of a worker whose memory ran out (see Exit_When_Memory_Runs_Out).
inline constexpr int WORKER_OUT_OF_MEMORY = 99;

struct Worker_Limits {
  // Address space of each worker in bytes; 0 stands for Default_Memory_Limit.
  std::uint64_t memory = 0;
  // Seconds a worker may run before it is killed.
  double timeout = 120.0;
};

// Half the machine's memory shared by `jobs` workers, at most 2 GiB each.
std::uint64_t Default_Memory_Limit(unsigned int jobs);

// "2.0 GiB" from 1 GiB up, "256 MiB" below.
std::string Describe_Bytes(std::uint64_t bytes);

// "2G", "512M", "1.5GiB", "64m" (binary units K, M, G, T; a bare number is
// bytes). Throws std::invalid_argument with a one-line reason.
std::uint64_t Parse_Memory_Size(const std::string& text);

struct Worker_Result {
  enum class Status { FINISHED, CRASHED, OUT_OF_MEMORY, TIMED_OUT, FAILED };
  Status status = Status::FAILED;
  std::string output;   // what the worker wrote to WORKER_RESULT_FD
  int signal = 0;       // CRASHED: the signal that ended it
  int exit_status = 0;  // FAILED: its exit status
  // Why it did not finish: "the importer crashed (signal 11)", "ran out of
  // its 2.0 GiB memory limit", "took longer than 120 s".
  std::string Reason(const Worker_Limits& limits) const;
};

struct Worker_Pool_Settings {
  std::string program = "/proc/self/exe";  // started as PROGRAM --worker ARGUMENTS...
  unsigned int jobs = 1;                   // workers at once
  Worker_Limits limits;
};

// Runs one worker per task (its arguments after --worker), `jobs` at a time,
// in task order. `done` is called on the calling thread as each worker ends,
// in the order they end. SIGINT and SIGTERM are caught while it runs (a
// signal that was ignored stays ignored): the workers are killed, the tasks
// not yet finished are not reported, and the signal's number is returned;
// otherwise 0 once every task is done. An exception from `done` kills the
// remaining workers and passes on.
int Run_Workers(const std::vector<std::vector<std::string>>& tasks, const Worker_Pool_Settings& settings,
                const std::function<void(std::size_t task, Worker_Result result)>& done);

// In a worker: a failed allocation ends the process at once with
// WORKER_OUT_OF_MEMORY, before any reader can catch std::bad_alloc and
// report something else.
void Exit_When_Memory_Runs_Out();

// In a worker: writes the answer to WORKER_RESULT_FD. Returns false when it
// cannot be written.
bool Send_To_Parent(const std::string& bytes);

// A worker's answer: texts and numbers, each with its length, in one string.
class Message_Writer {
 public:
  Message_Writer& Text(const std::string& text);
  Message_Writer& Number(double value);
  Message_Writer& Count(std::uint64_t count);
  const std::string& Bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

// Reads what Message_Writer wrote, in the same order. Throws
// std::runtime_error when the message ends too soon.
class Message_Reader {
 public:
  explicit Message_Reader(const std::string& bytes) : bytes_(bytes) {}
  std::string Text();
  double Number();
  std::uint64_t Count();

 private:
  const char* Take(std::size_t size);
  const std::string& bytes_;
  std::size_t at_ = 0;
};

}  // namespace Bone_Tools
}  // namespace Vantorix
