// What a host does every displayed frame: sample the sequence, then read
// Base and Offset of every bone. Reported per bone (leaf bones included).
#include <benchmark/benchmark.h>

#include <random>

#include "bench_data.h"

using namespace Vantorix::Bone_Import;

namespace {

struct Clip {
  Clip() {
    const std::string path = bench_data::Write("mocap.bone", bench_data::Mocap(31, 4500).Data());
    hierarchy.Import(path.c_str());
    sequence.Import(path.c_str());
  }
  Hierarchy hierarchy;
  Sequence sequence{hierarchy};
};

Clip& Mocap_Clip() {
  static Clip clip;
  return clip;
}

float Read_All(Frame& frame, unsigned int bones) {
  float sum = 0;
  for (unsigned int b = 0; b < bones; ++b) sum += frame.Base(b).m[0][0] + frame.Offset(b).x;
  return sum;
}

void Report(benchmark::State& state, unsigned int bones) {
  state.counters["bones"] = bones;
  // Seconds per bone, printed with its SI prefix (e.g. "21.5n" = 21.5 ns).
  state.counters["time_per_bone"] =
      benchmark::Counter(bones, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

}  // namespace

static void BM_Playback_Sequential(benchmark::State& state) {
  Clip& clip = Mocap_Clip();
  const unsigned int bones = clip.hierarchy.Bone_Count();
  Frame frame(clip.hierarchy, false);
  float time = 0;
  for (auto _ : state) {
    clip.sequence.Get_Frame_Time(frame, time);
    benchmark::DoNotOptimize(Read_All(frame, bones));
    time += 1.0f / 120.0f;
    if (time > clip.sequence.Lenght()) time = 0;
  }
  Report(state, bones);
}
BENCHMARK(BM_Playback_Sequential)->Repetitions(3)->ReportAggregatesOnly(true);

static void BM_Playback_Random(benchmark::State& state) {
  Clip& clip = Mocap_Clip();
  const unsigned int bones = clip.hierarchy.Bone_Count();
  Frame frame(clip.hierarchy, false);
  std::mt19937 random(1);
  std::uniform_real_distribution<float> pick(0.0f, clip.sequence.Lenght());
  std::vector<float> times(4096);
  for (float& t : times) t = pick(random);
  std::size_t i = 0;
  for (auto _ : state) {
    clip.sequence.Get_Frame_Time(frame, times[i++ & 4095]);
    benchmark::DoNotOptimize(Read_All(frame, bones));
  }
  Report(state, bones);
}
BENCHMARK(BM_Playback_Random)->Repetitions(3)->ReportAggregatesOnly(true);

static void BM_Sample_Only_Sequential(benchmark::State& state) {
  Clip& clip = Mocap_Clip();
  Frame frame(clip.hierarchy, false);
  float time = 0;
  for (auto _ : state) {
    clip.sequence.Get_Frame_Time(frame, time);
    benchmark::ClobberMemory();
    time += 1.0f / 120.0f;
    if (time > clip.sequence.Lenght()) time = 0;
  }
  Report(state, clip.hierarchy.Bone_Count());
}
BENCHMARK(BM_Sample_Only_Sequential);
