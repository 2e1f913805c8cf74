// What a host does every displayed frame: sample the sequence, then read
// Base and Offset of every bone. Measured on real motion capture (CMU 01_01,
// 31 joints at 120 Hz, converted from BVH at start), reported per displayed
// frame and per sampled bone; a synthetic clip sweeps bone and key counts;
// and a crowd of 1,000 characters on 1 and 2 threads.
#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <mutex>
#include <random>

#include "bench_data.h"

using namespace Vantorix::Bone_Import;

namespace {

struct Clip {
  explicit Clip(const std::string& path) : sequence(hierarchy) {
    hierarchy.Import(path.c_str());
    sequence.Import(path.c_str());
    for (unsigned int b = 0; b < hierarchy.Bone_Count(); ++b) sampled += hierarchy.Is_Leaf(b) ? 0 : 1;
  }
  Hierarchy hierarchy;
  Sequence sequence;
  unsigned int sampled = 0;
};

Clip* Cmu_Clip() {
  static std::unique_ptr<Clip> clip = [] {
    const std::string path = bench_data::Cmu_01_01();
    return path.empty() ? nullptr : std::make_unique<Clip>(path);
  }();
  return clip.get();
}

Clip& Synthetic_Clip(unsigned int bones, unsigned int keys) {
  static std::map<std::pair<unsigned int, unsigned int>, std::unique_ptr<Clip>> clips;
  std::unique_ptr<Clip>& clip = clips[{bones, keys}];
  if (!clip) {
    const std::string name = "synthetic_" + std::to_string(bones) + "_" + std::to_string(keys) + ".bone";
    clip = std::make_unique<Clip>(bench_data::Write(name, bench_data::Mocap(bones, keys).Data()));
  }
  return *clip;
}

// The host's loop body after sampling: every bone's output.
float Read_All(Frame& frame, unsigned int bones) {
  float sum = 0;
  for (unsigned int b = 0; b < bones; ++b) sum += frame.Base(b).m[0][0] + frame.Offset(b).x;
  return sum;
}

void Report(benchmark::State& state, const Clip& clip) {
  state.counters["bones"] = clip.hierarchy.Bone_Count();
  state.counters["sampled"] = clip.sampled;
  // Seconds per sampled bone, printed with its SI prefix ("12.3n" = 12.3 ns);
  // the benchmark's own time is the time per displayed frame.
  state.counters["per_sampled_bone"] =
      benchmark::Counter(clip.sampled, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void Play_Sequential(benchmark::State& state, Clip& clip) {
  Frame frame(clip.hierarchy, false);
  const unsigned int bones = clip.hierarchy.Bone_Count();
  float time = 0;
  for (auto _ : state) {
    clip.sequence.Get_Frame_Time(frame, time);
    benchmark::DoNotOptimize(Read_All(frame, bones));
    time += 1.0f / 120.0f;
    if (time > clip.sequence.Lenght()) time = 0;
  }
  Report(state, clip);
}

std::vector<float> Random_Times(float length) {
  std::mt19937 random(1);
  std::uniform_real_distribution<float> pick(0.0f, length);
  std::vector<float> times(4096);
  for (float& t : times) t = pick(random);
  return times;
}

void Play_Random(benchmark::State& state, Clip& clip) {
  Frame frame(clip.hierarchy, false);
  const unsigned int bones = clip.hierarchy.Bone_Count();
  const std::vector<float> times = Random_Times(clip.sequence.Lenght());
  std::size_t i = 0;
  for (auto _ : state) {
    clip.sequence.Get_Frame_Time(frame, times[i++ & 4095]);
    benchmark::DoNotOptimize(Read_All(frame, bones));
  }
  Report(state, clip);
}

bool Have_Cmu(benchmark::State& state) {
  if (Cmu_Clip()) return true;
  state.SkipWithError("BVH/01_01.bvh not installed (Debian package assimp-testmodels)");
  return false;
}

}  // namespace

static void BM_Host_01_01_Sequential(benchmark::State& state) {
  if (Have_Cmu(state)) Play_Sequential(state, *Cmu_Clip());
}
BENCHMARK(BM_Host_01_01_Sequential);

static void BM_Host_01_01_Random(benchmark::State& state) {
  if (Have_Cmu(state)) Play_Random(state, *Cmu_Clip());
}
BENCHMARK(BM_Host_01_01_Random);

static void BM_Sample_Only_01_01_Sequential(benchmark::State& state) {
  if (!Have_Cmu(state)) return;
  Clip& clip = *Cmu_Clip();
  Frame frame(clip.hierarchy, false);
  float time = 0;
  for (auto _ : state) {
    clip.sequence.Get_Frame_Time(frame, time);
    benchmark::ClobberMemory();
    time += 1.0f / 120.0f;
    if (time > clip.sequence.Lenght()) time = 0;
  }
  Report(state, clip);
}
BENCHMARK(BM_Sample_Only_01_01_Sequential);

// Sweep: sampled bones x keys per bone, sequential and random.
static void BM_Sweep_Sequential(benchmark::State& state) {
  Play_Sequential(state, Synthetic_Clip(unsigned(state.range(0)), unsigned(state.range(1))));
}
BENCHMARK(BM_Sweep_Sequential)->ArgsProduct({{8, 31, 128}, {300, 4500}});

static void BM_Sweep_Random(benchmark::State& state) {
  Play_Random(state, Synthetic_Clip(unsigned(state.range(0)), unsigned(state.range(1))));
}
BENCHMARK(BM_Sweep_Random)->ArgsProduct({{8, 31, 128}, {300, 4500}});

// A crowd: 1,000 characters, each with its own Frame, playing 4 clips (01_01
// at four speeds and offsets share one Sequence per clip), every character
// advanced and read out once per displayed frame. The threads split the
// characters; the sequences are shared between them, as docs/library.md
// shows. items_per_second is characters per second over all threads.
static void BM_Crowd(benchmark::State& state) {
  if (!Have_Cmu(state)) return;
  constexpr unsigned int CHARACTERS = 1000;
  Clip& clip = *Cmu_Clip();
  const unsigned int first = CHARACTERS * unsigned(state.thread_index()) / unsigned(state.threads());
  const unsigned int last = CHARACTERS * unsigned(state.thread_index() + 1) / unsigned(state.threads());
  static Clip* clips[4];
  static std::once_flag once;
  std::call_once(once, [&] {
    clips[0] = &clip;
    clips[1] = &Synthetic_Clip(31, 4500);
    clips[2] = &Synthetic_Clip(31, 300);
    clips[3] = &Synthetic_Clip(8, 4500);
  });
  std::vector<std::unique_ptr<Frame>> frames;
  std::vector<float> times;
  for (unsigned int c = first; c < last; ++c) {
    frames.push_back(std::make_unique<Frame>(clips[c % 4]->hierarchy, false));
    times.push_back(float(c) * 0.037f);
  }
  for (auto _ : state) {
    for (unsigned int i = 0; i < frames.size(); ++i) {
      const Clip& own = *clips[(first + i) % 4];
      own.sequence.Get_Frame_Time(*frames[i], times[i]);
      benchmark::DoNotOptimize(Read_All(*frames[i], own.hierarchy.Bone_Count()));
      times[i] += 1.0f / 60.0f;
      if (times[i] > own.sequence.Lenght()) times[i] = 0;
    }
  }
  state.SetItemsProcessed(std::int64_t(state.iterations()) * (last - first));
}
BENCHMARK(BM_Crowd)->Threads(1)->Threads(2)->UseRealTime();
