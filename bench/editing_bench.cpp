// Editing operations on a motion-capture-sized sequence, in keys per second.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
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

// Bounded reduction on CMU 01_01 (converted at start) next to Optimize at
// tolerances that keep a similar share of the keys; both report the share of
// keys kept and the largest error measured at Reduce's check points, in mm
// (the clip's unit is 0.0254 / 0.45 m), with the axis points at 10 cm.
namespace {
constexpr float MM = 0.45f / 0.0254f / 1000.0f;  // clip units per millimetre
constexpr float REACH = 100 * MM;

void Report_Reduction(benchmark::State& state, const Sequence& original, const Sequence& reduced) {
  const Hierarchy& h = original.Get_Hierarchy();
  double before = 0, after = 0;
  for (unsigned int b = 0; b < h.Bone_Count(); ++b) before += original.Key_Count(b), after += reduced.Key_Count(b);
  const std::vector<double> errors = Sequence::Reduction_Errors(original, reduced, REACH);
  state.counters["kept_percent"] = 100.0 * after / before;
  state.counters["error_mm"] = *std::max_element(errors.begin(), errors.end()) / MM;
}

// Imports `path` afresh for every iteration (not timed), times `edit` on it,
// then hands the original and the last result to `report`.
void Time_Edit(benchmark::State& state, const std::string& path, const std::function<void(Sequence&)>& edit,
               const std::function<void(const Sequence&, const Sequence&)>& report) {
  Hierarchy h;
  h.Import(path.c_str());
  Sequence original(h);
  original.Import(path.c_str());
  std::unique_ptr<Sequence> reduced;
  for (auto _ : state) {
    state.PauseTiming();
    reduced = std::make_unique<Sequence>(h);
    reduced->Import(path.c_str());
    state.ResumeTiming();
    edit(*reduced);
  }
  report(original, *reduced);
}

// `edit` timed on 01_01, with the keys kept and the largest error.
void Run_Reduction(benchmark::State& state, const std::function<void(Sequence&)>& edit) {
  const std::string path = bench_data::Cmu_01_01();
  if (path.empty()) return state.SkipWithError("BVH/01_01.bvh not installed (assimp-testmodels)");
  Time_Edit(state, path, edit,
            [&](const Sequence& original, const Sequence& reduced) { Report_Reduction(state, original, reduced); });
}

}  // namespace

static void BM_Reduce_01_01(benchmark::State& state) {
  const float max_error = float(state.range(0)) / 10 * MM;  // the argument in tenths of a millimetre
  Run_Reduction(state, [&](Sequence& s) { s.Reduce(max_error, REACH); });
}
BENCHMARK(BM_Reduce_01_01)->Arg(1)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond)->Iterations(2);

// Time against key density: the same 20 s of motion on a chain of 30 sampled
// bones (and a leaf), keyed at 30, 120 and 240 keys per second, reduced to
// 1 mm with the axis points at 10 cm (units of metres). Each bone turns with
// slow and some faster components; the root walks 16 m.
namespace {
test_support::Bone_File Chain_Clip(unsigned int rate) {
  using test_support::Key;
  constexpr unsigned int BONES = 30;
  constexpr float SECONDS = 20;
  const unsigned int keys = unsigned(SECONDS) * rate + 1;
  test_support::Bone_File file;
  file.Length(SECONDS);
  for (unsigned int b = 0; b < BONES; ++b) {
    std::vector<Key> out;
    const float p = 0.7f * float(b), q = 1.3f * float(b);
    for (unsigned int k = 0; k < keys; ++k) {
      const float t = float(k) / float(rate);
      out.push_back(Key{t, 0.3f * std::sin(1.7f * t + p) + 0.02f * std::sin(11.0f * t + q),
                        0.2f * std::sin(1.1f * t + q) + 0.01f * std::sin(17.0f * t + p), 0.4f * std::sin(0.6f * t + p),
                        b == 0 ? 0.8f * t : 0.1f, b == 0 ? 1.0f + 0.03f * std::sin(5 * t) : 0.0f, 0.0f});
    }
    if (b == 0)
      file.Root("bone0", out);
    else
      file.Bone("bone" + std::to_string(b), "bone" + std::to_string(b - 1), out);
  }
  file.Bone("tip", "bone" + std::to_string(BONES - 1), test_support::Keys_At({0, SECONDS}));
  return file;
}
}  // namespace

static void BM_Reduce_Density(benchmark::State& state) {
  const unsigned int rate = unsigned(state.range(0));
  const std::string path = bench_data::Write("chain_" + std::to_string(rate) + ".bone", Chain_Clip(rate).Data());
  Time_Edit(
      state, path, [](Sequence& s) { s.Reduce(0.001f, 0.1f); },
      [&](const Sequence& original, const Sequence& reduced) {
        double before = 0, after = 0;
        for (unsigned int b = 0; b < original.Get_Hierarchy().Bone_Count(); ++b)
          before += original.Key_Count(b), after += reduced.Key_Count(b);
        state.counters["keys"] = before;
        state.counters["kept_percent"] = 100.0 * after / before;
      });
}
BENCHMARK(BM_Reduce_Density)->Arg(30)->Arg(120)->Arg(240)->Unit(benchmark::kMillisecond)->Iterations(1);

static void BM_Optimize_01_01(benchmark::State& state) {
  // Rotation and offset tolerances keeping about as many keys as Reduce at
  // 0.1, 1 and 10 mm.
  const float tolerances[3][2] = {{0.99999998f, 0.1f * MM}, {0.999999f, 1 * MM}, {0.99997f, 10 * MM}};
  const float* tolerance = tolerances[state.range(0)];
  Run_Reduction(state, [&](Sequence& s) { s.Optimize(tolerance[0], tolerance[1]); });
}
BENCHMARK(BM_Optimize_01_01)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->Iterations(2);
