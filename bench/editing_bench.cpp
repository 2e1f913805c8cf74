// Editing operations on a motion-capture-sized sequence, in keys per second.
#include <benchmark/benchmark.h>

#include <functional>
#include <memory>

#include "allocation_count.h"
#include "bench_data.h"

using namespace Vantorix::Bone_Import;

namespace {

struct Source {
  Source() : path(bench_data::Write("edit.bone", bench_data::Mocap(50, 4000).Data())) {
    hierarchy.Import(path.c_str());
    for (unsigned int b = 0; b < hierarchy.Bone_Count(); ++b) {
      Sequence s(hierarchy);
      s.Import(path.c_str());
      keys += s.Key_Count(b);
    }
  }
  std::string path;
  Hierarchy hierarchy;
  double keys = 0;
};

Source& Edit_Source() {
  static Source source;
  return source;
}

// Runs `edit` on a freshly imported sequence each iteration (import untimed).
void Run_Edit(benchmark::State& state, const std::function<void(Sequence&)>& edit) {
  Source& source = Edit_Source();
  unsigned long long allocations = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto sequence = std::make_unique<Sequence>(source.hierarchy);
    sequence->Import(source.path.c_str());
    const unsigned long long before = bench_allocations::count;
    state.ResumeTiming();
    edit(*sequence);
    benchmark::ClobberMemory();
    state.PauseTiming();
    allocations += bench_allocations::count - before;
    sequence.reset();
    state.ResumeTiming();
  }
  state.counters["keys"] = source.keys;
  state.counters["allocations"] = double(allocations) / double(state.iterations());
  state.counters["keys_per_second"] =
      benchmark::Counter(double(state.iterations()) * source.keys, benchmark::Counter::kIsRate);
}

}  // namespace

static void BM_Optimize(benchmark::State& state) {
  Run_Edit(state, [](Sequence& s) { s.Optimize(0.9999f, 0.001f); });
}
BENCHMARK(BM_Optimize)->Unit(benchmark::kMillisecond)->UseRealTime();

static void BM_Flip(benchmark::State& state) {
  Run_Edit(state, [](Sequence& s) { s.Flip(); });
}
BENCHMARK(BM_Flip)->Unit(benchmark::kMillisecond)->UseRealTime();

static void BM_Normalize(benchmark::State& state) {
  Run_Edit(state, [](Sequence& s) { s.Normalize(); });
}
BENCHMARK(BM_Normalize)->Unit(benchmark::kMillisecond)->UseRealTime();

static void BM_Rotate(benchmark::State& state) {
  Matrix_3x3<float> r;
  Template_Library::M3x3_S_S_S_Rot_ZYX(r, 0.3f, 0.2f, 0.1f);
  Run_Edit(state, [&](Sequence& s) { s.Rotate(r); });
}
BENCHMARK(BM_Rotate)->Unit(benchmark::kMillisecond)->UseRealTime();

static void BM_Combine(benchmark::State& state) {
  Source& source = Edit_Source();
  Sequence a(source.hierarchy);
  a.Import(source.path.c_str());
  const unsigned long long before = bench_allocations::count;
  for (auto _ : state) {
    Sequence result(source.hierarchy);
    result.Combine(a, 0.0f, 1.0f, a, 0.0f, 1.0f, 0.5f);
    benchmark::DoNotOptimize(result.Lenght());
  }
  state.counters["allocations"] = double(bench_allocations::count - before) / double(state.iterations());
  // Every source key is copied twice (both stretches are whole).
  state.counters["keys_per_second"] =
      benchmark::Counter(double(state.iterations()) * 2 * source.keys, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Combine)->Unit(benchmark::kMillisecond);
