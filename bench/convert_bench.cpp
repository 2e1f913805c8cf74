// Converting an asset library: 32 copies of CMU 01_01 (BVH) converted as one
// batch with 1 and with 2 worker processes (bonetool itself), and the same
// conversion in this process, without workers, for the cost of isolation.
// Reported per file; the speed-up is the ratio of the first two.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "bench_data.h"
#include "interchange/batch_convert.h"

namespace fs = std::filesystem;
namespace Tools = Vantorix::Bone_Tools;

namespace {

constexpr int FILES = 32;
const std::string SOURCE = "/usr/share/assimp/models/BVH/01_01.bvh";

fs::path Make_Library() {
  const fs::path in = bench_data::Temp_Path("batch_in");
  fs::remove_all(in);
  fs::create_directories(in);
  for (int i = 0; i < FILES; ++i) fs::copy_file(SOURCE, in / ("take_" + std::to_string(i) + ".bvh"));
  return in;
}

}  // namespace

static void BM_Convert_Batch_01_01(benchmark::State& state) {
  if (!std::ifstream(SOURCE).good())
    return state.SkipWithError("BVH/01_01.bvh not installed (Debian package assimp-testmodels)");
  const fs::path in = Make_Library(), out = bench_data::Temp_Path("batch_out");
  const std::vector<Tools::Batch_Input> inputs = Tools::Plan_Batch({in.string()}, out.string());
  Tools::Batch_Settings settings;
  settings.workers.program = BONETOOL_PATH;
  settings.workers.jobs = unsigned(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    fs::remove_all(out);
    state.ResumeTiming();
    Tools::Convert_Batch(inputs, {}, settings, [&](std::size_t, const Tools::Convert_Result& result) {
      if (!result.failure.empty()) state.SkipWithError(result.reason.c_str());
    });
  }
  state.counters["per_file"] =
      benchmark::Counter(FILES, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  fs::remove_all(in);
  fs::remove_all(out);
}
BENCHMARK(BM_Convert_Batch_01_01)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// The same work on one thread of this process: what the workers add.
static void BM_Convert_In_Process_01_01(benchmark::State& state) {
  if (!std::ifstream(SOURCE).good())
    return state.SkipWithError("BVH/01_01.bvh not installed (Debian package assimp-testmodels)");
  for (auto _ : state)
    for (int i = 0; i < FILES; ++i) benchmark::DoNotOptimize(Tools::Convert_Source(SOURCE, {}).clips.size());
  state.counters["per_file"] =
      benchmark::Counter(FILES, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Convert_In_Process_01_01)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
