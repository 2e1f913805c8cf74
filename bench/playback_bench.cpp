// What a host does every displayed frame: sample the sequence, then read
// Base and Offset of every bone. Measured on real motion capture (CMU 01_01,
// 31 joints at 120 Hz, converted from BVH at start), reported per displayed
// frame and per sampled bone, as imported and reduced at 1 mm; a synthetic
// clip sweeps bone and key counts; and a crowd of 1,000 characters on 1 and 2
// threads.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <random>
#include <thread>

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

// 01_01 reduced at 1 mm with the axis points at 10 cm (1 mm is 0.017717
// units): every bone keeps times of its own, about 41% of the keys.
Clip* Reduced_Cmu_Clip() {
  static std::unique_ptr<Clip> clip = [] {
    const std::string path = bench_data::Cmu_01_01();
    if (path.empty()) return std::unique_ptr<Clip>();
    auto reduced = std::make_unique<Clip>(path);
    reduced->sequence.Reduce(0.017717f, 1.7717f);
    return reduced;
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

// 01_01 reduced at 0.8 mm and packed at 0.2 mm (reach 10 cm): within 1 mm of
// the clip above, the split docs/library.md recommends.
constexpr float UNITS_PER_MM = 0.017717f, REACH = 1.7717f;

struct Packed_Clip {
  explicit Packed_Clip(const std::string& path) : reduced(hierarchy) {
    hierarchy.Import(path.c_str());
    reduced.Import(path.c_str());
    reduced.Reduce(0.8f * UNITS_PER_MM, REACH);
    reduced_path = bench_data::Write_Sequence(reduced, "01_01_reduced.bone");
    packed = std::make_unique<Packed_Sequence>(reduced, 0.2f * UNITS_PER_MM, REACH);
    for (unsigned int b = 0; b < hierarchy.Bone_Count(); ++b) sampled += hierarchy.Is_Leaf(b) ? 0 : 1;
  }
  Hierarchy hierarchy;
  Sequence reduced;
  std::string reduced_path;
  std::unique_ptr<Packed_Sequence> packed;
  unsigned int sampled = 0;
};

Packed_Clip* Cmu_Packed() {
  static std::unique_ptr<Packed_Clip> clip = [] {
    const std::string path = bench_data::Cmu_01_01();
    return path.empty() ? nullptr : std::make_unique<Packed_Clip>(path);
  }();
  return clip.get();
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

// The packed clip in the host's loop, and what it costs in memory: bytes per
// key of the unreduced clip (85,340 keys) and of the keys it holds.
static void BM_Host_01_01_Packed(benchmark::State& state) {
  if (!Have_Cmu(state)) return;
  Packed_Clip& clip = *Cmu_Packed();
  Frame frame(clip.hierarchy, false);
  const unsigned int bones = clip.hierarchy.Bone_Count();
  const Packed_Sequence& packed = *clip.packed;
  const std::vector<float> times = Random_Times(packed.Lenght());
  const bool random = state.range(0) != 0;
  float time = 0;
  std::size_t i = 0;
  for (auto _ : state) {
    packed.Get_Frame_Time(frame, random ? times[i++ & 4095] : time);
    benchmark::DoNotOptimize(Read_All(frame, bones));
    time += 1.0f / 120.0f;
    if (time > packed.Lenght()) time = 0;
  }
  std::size_t original_keys = 0;
  for (unsigned int b = 0; b < bones; ++b) original_keys += Cmu_Clip()->sequence.Key_Count(b);
  state.counters["bytes"] = double(packed.Size());
  state.counters["per_original_key"] = double(packed.Size()) / double(original_keys);
  state.counters["per_key_held"] = double(packed.Size()) / double(packed.Key_Count());
}
BENCHMARK(BM_Host_01_01_Packed)->ArgName("random")->Arg(0)->Arg(1);

// Packing is a load-time step: its time beside the import of the file.
static void BM_Pack_01_01_Reduced(benchmark::State& state) {
  if (!Have_Cmu(state)) return;
  Packed_Clip& clip = *Cmu_Packed();
  for (auto _ : state) benchmark::DoNotOptimize(Packed_Sequence(clip.reduced, 0.2f * UNITS_PER_MM, REACH).Size());
}
BENCHMARK(BM_Pack_01_01_Reduced)->Unit(benchmark::kMillisecond);

static void BM_Import_01_01_Reduced(benchmark::State& state) {
  if (!Have_Cmu(state)) return;
  const std::string& path = Cmu_Packed()->reduced_path;
  for (auto _ : state) {
    Hierarchy hierarchy;
    hierarchy.Import(path.c_str());
    Sequence sequence(hierarchy);
    sequence.Import(path.c_str());
    benchmark::DoNotOptimize(sequence.Lenght());
  }
}
BENCHMARK(BM_Import_01_01_Reduced)->Unit(benchmark::kMillisecond);

static void BM_Host_01_01_Reduced_Sequential(benchmark::State& state) {
  if (Have_Cmu(state)) Play_Sequential(state, *Reduced_Cmu_Clip());
}
BENCHMARK(BM_Host_01_01_Reduced_Sequential);

static void BM_Host_01_01_Reduced_Random(benchmark::State& state) {
  if (Have_Cmu(state)) Play_Random(state, *Reduced_Cmu_Clip());
}
BENCHMARK(BM_Host_01_01_Reduced_Random);

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

// A crowd: 1,000 characters, each with its own Frame, playing 4 clips that
// share their Sequences (01_01 and three synthetic ones), every character
// advanced and read out once per displayed frame. With 2 threads the
// characters are split in halves between this thread and a persistent worker
// that waits for each frame on a counter, as a host's job system would; the
// time is the wall time of whole displayed frames. docs/library.md shows the
// pattern. "per_character" is the time per character per displayed frame.
static void BM_Crowd(benchmark::State& state) {
  if (!Have_Cmu(state)) return;
  constexpr unsigned int CHARACTERS = 1000;
  Clip* clips[4] = {Cmu_Clip(), &Synthetic_Clip(31, 4500), &Synthetic_Clip(31, 300), &Synthetic_Clip(8, 4500)};
  std::vector<std::unique_ptr<Frame>> frames;
  std::vector<float> times;
  for (unsigned int c = 0; c < CHARACTERS; ++c) {
    frames.push_back(std::make_unique<Frame>(clips[c % 4]->hierarchy, false));
    times.push_back(float(c) * 0.037f);
  }
  const auto play = [&](unsigned int first, unsigned int last) {
    float sum = 0;
    for (unsigned int c = first; c < last; ++c) {
      const Clip& own = *clips[c % 4];
      own.sequence.Get_Frame_Time(*frames[c], times[c]);
      sum += Read_All(*frames[c], own.hierarchy.Bone_Count());
      times[c] += 1.0f / 60.0f;
      if (times[c] > own.sequence.Lenght()) times[c] = 0;
    }
    benchmark::DoNotOptimize(sum);
  };
  const unsigned int threads = unsigned(state.range(0));
  const unsigned int split = threads == 1 ? CHARACTERS : CHARACTERS / 2;
  std::atomic<unsigned int> started{0}, finished{0};
  std::atomic<bool> stop{false};
  std::thread worker;
  if (threads == 2)
    worker = std::thread([&] {
      for (unsigned int seen = 0;;) {
        while (started.load(std::memory_order_acquire) == seen)
          if (stop.load(std::memory_order_acquire)) return;
        ++seen;
        play(split, CHARACTERS);
        finished.store(seen, std::memory_order_release);
      }
    });
  unsigned int frame = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    started.store(++frame, std::memory_order_release);
    play(0, split);
    if (threads == 2)
      while (finished.load(std::memory_order_acquire) != frame) {
      }
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  stop.store(true, std::memory_order_release);
  if (worker.joinable()) worker.join();
  state.counters["per_character"] =
      benchmark::Counter(CHARACTERS, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Crowd)->Arg(1)->Arg(2)->UseManualTime()->Unit(benchmark::kMicrosecond);
