// Converting an asset library: 32 copies of CMU 01_01 (BVH) converted as one
// batch on 1 and on 2 threads. Reported per file; the speed-up is the ratio of
// the two.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "bench_data.h"
#include "interchange/batch_convert.h"

namespace fs = std::filesystem;

static void BM_Convert_Batch_01_01(benchmark::State& state) {
  const std::string source = "/usr/share/assimp/models/BVH/01_01.bvh";
  if (!std::ifstream(source).good())
    return state.SkipWithError("BVH/01_01.bvh not installed (Debian package assimp-testmodels)");
  constexpr int FILES = 32;
  const fs::path in = bench_data::Temp_Path("batch_in"), out = bench_data::Temp_Path("batch_out");
  fs::remove_all(in);
  fs::create_directories(in);
  for (int i = 0; i < FILES; ++i) fs::copy_file(source, in / ("take_" + std::to_string(i) + ".bvh"));
  const std::vector<std::string> files = Vantorix::Bone_Tools::Expand_Inputs({in.string()});
  for (auto _ : state) {
    state.PauseTiming();
    fs::remove_all(out);
    fs::create_directories(out);
    state.ResumeTiming();
    const auto results =
        Vantorix::Bone_Tools::Convert_Batch(files, out.string(), {}, unsigned(state.range(0)), nullptr);
    for (const auto& result : results)
      if (!result.refused.empty()) state.SkipWithError(result.refused.c_str());
  }
  state.counters["per_file"] =
      benchmark::Counter(FILES, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  fs::remove_all(in);
  fs::remove_all(out);
}
BENCHMARK(BM_Convert_Batch_01_01)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
