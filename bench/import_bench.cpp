// Import throughput: hierarchy of many bones, sequence of a large file, skin
// file index and skin import.
#include <benchmark/benchmark.h>

#include "allocation_count.h"
#include "bench_data.h"

using namespace Vantorix::Bone_Import;

static void BM_Hierarchy_Import_10000_Bones(benchmark::State& state) {
  test_support::Bone_File file;
  file.Root("Bone_0", test_support::Keys_At({0, 1}));
  for (int b = 1; b < 10000; ++b)
    file.Bone("Bone_" + std::to_string(b), "bone_" + std::to_string(b / 2), test_support::Keys_At({0, 1}));
  const std::string path = bench_data::Write("hier10000.bone", file.Data());
  for (auto _ : state) {
    Hierarchy h;
    h.Import(path.c_str());
    benchmark::DoNotOptimize(h.Root_Index());
  }
  state.counters["bones"] = 10000;
}
BENCHMARK(BM_Hierarchy_Import_10000_Bones)->Unit(benchmark::kMillisecond);

static void BM_Sequence_Import_Large(benchmark::State& state) {
  const std::string bytes = bench_data::Mocap(50, 15000).Data();
  const std::string path = bench_data::Write("large.bone", bytes);
  Hierarchy h;
  h.Import(path.c_str());
  for (auto _ : state) {
    Sequence s(h);
    s.Import(path.c_str());
    benchmark::DoNotOptimize(s.Lenght());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes.size()));
  state.counters["file_MB"] = double(bytes.size()) / 1e6;
}
BENCHMARK(BM_Sequence_Import_Large)->Unit(benchmark::kMillisecond)->Repetitions(3)->ReportAggregatesOnly(true);

static void BM_Skin_File_Open_10000_Skins(benchmark::State& state) {
  test_support::Skin_File_Data data;
  data.Bones({"root", "spine"});
  const std::vector<Skin_File::Vertex> records(50, Skin_File::Vertex{1, 0.5f, 0.5f, 0.5f, 1.0f, 3});
  for (int s = 0; s < 10000; ++s) data.Skin("skin_" + std::to_string(s), records);
  const std::string path = bench_data::Write("many.skin", data.Data());
  for (auto _ : state) {
    Skin_File file(path.c_str());
    benchmark::DoNotOptimize(file.Skin_Count());
  }
  state.counters["time_per_skin"] =
      benchmark::Counter(10000, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Skin_File_Open_10000_Skins)->Unit(benchmark::kMillisecond);

namespace {
const unsigned int SKIN_RECORDS = 1000000;

std::string Big_Skin_Path() {
  static const std::string path = [] {
    test_support::Skin_File_Data data;
    std::vector<std::string> bones;
    for (int b = 0; b < 31; ++b) bones.push_back("bone" + std::to_string(b));
    data.Bones(bones);
    std::vector<Skin_File::Vertex> records;
    records.reserve(SKIN_RECORDS);
    for (unsigned int r = 0; r < SKIN_RECORDS; ++r)
      records.push_back(Skin_File::Vertex{(r * 7) % 31, float(r), 1.0f, 2.0f, 0.25f, r / 4});
    data.Skin("body", std::move(records));
    return bench_data::Write("big.skin", data.Data());
  }();
  return path;
}
}  // namespace

static void BM_Get_Skin_1M_Records(benchmark::State& state) {
  Skin_File file(Big_Skin_Path().c_str());
  std::vector<Skin_File::Vertex> vertices;
  for (auto _ : state) {
    file.Get_Skin(vertices, "body");
    benchmark::DoNotOptimize(vertices.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * SKIN_RECORDS * 24);
}
BENCHMARK(BM_Get_Skin_1M_Records)->Unit(benchmark::kMillisecond);

static void BM_Skin_Import_1M_Records(benchmark::State& state) {
  Skin_File file(Big_Skin_Path().c_str());
  const std::string bones_path = bench_data::Write("skin_bones.bone", bench_data::Mocap(31, 2).Data());
  Hierarchy h;
  h.Import(bones_path.c_str());
  const unsigned long long before = bench_allocations::count;
  for (auto _ : state) {
    Skin skin;
    skin.Import(file, "body", h);
    benchmark::DoNotOptimize(skin.vert_count);
  }
  // Per import: the record buffer, the count and pointer tables and one array
  // of indices, positions and weights per bone with bindings.
  state.counters["allocations"] = double(bench_allocations::count - before) / double(state.iterations());
  state.counters["bones"] = 31;
  state.SetBytesProcessed(int64_t(state.iterations()) * SKIN_RECORDS * 24);
}
BENCHMARK(BM_Skin_Import_1M_Records)->Unit(benchmark::kMillisecond);
