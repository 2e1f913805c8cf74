// Skinning, what a host does for every displayed frame after sampling: the
// points of a skin placed by the frame's pose (Skinned_Mesh::Deform), and
// making the mesh once per skin. On the sample walk with its skin (2,880
// bindings) and on a synthetic skin of 1,000,000 bindings on the same
// skeleton (250,000 vertices, four bones each, neighbouring vertices on
// neighbouring bones as in a real mesh). Reported per frame and per binding.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "bench_data.h"

using namespace Vantorix::Bone_Import;

namespace {

const std::string WALK = std::string(SAMPLE_DIR) + "/humanoid_walk.bone";

struct Skinned {
  Skinned(const std::string& skin_path, const char* name) : sequence(hierarchy), frame(nullptr) {
    hierarchy.Import(WALK.c_str());
    sequence.Import(WALK.c_str());
    frame = std::make_unique<Frame>(hierarchy, false);
    Skin_File file(skin_path.c_str());
    skin.Import(file, name, hierarchy);
    for (unsigned int b = 0; b < skin.bone_count; ++b) bindings += skin.vert_count[b];
  }
  Hierarchy hierarchy;
  Sequence sequence;
  std::unique_ptr<Frame> frame;
  Skin skin;
  std::size_t bindings = 0;
};

Skinned& Walk() {
  static Skinned walk(std::string(SAMPLE_DIR) + "/humanoid.skin", "body");
  return walk;
}

Skinned& Million() {
  static std::unique_ptr<Skinned> skinned = [] {
    Hierarchy h;
    h.Import(WALK.c_str());
    const unsigned int bones = h.Bone_Count(), vertices = 250000;
    std::vector<std::string> names;
    for (unsigned int b = 0; b < bones; ++b) names.push_back(h.Bone_Name(b));
    std::vector<Skin_File::Vertex> records;
    records.reserve(4 * vertices);
    for (unsigned int v = 0; v < vertices; ++v)
      for (unsigned int j = 0; j < 4; ++j) {
        const float f = float(v % 97) * 0.01f;
        records.push_back(Skin_File::Vertex{(v * bones / vertices + j) % bones, f, 0.5f - f, 0.1f * float(j),
                                            0.1f + 0.2f * float(j), v});
      }
    const std::string path =
        bench_data::Write("million.skin", test_support::Skin_File_Data().Bones(names).Skin("million", records).Data());
    return std::make_unique<Skinned>(path, "million");
  }();
  return *skinned;
}

void Report(benchmark::State& state, const Skinned& skinned) {
  state.counters["bindings"] = double(skinned.bindings);
  state.counters["per_binding"] = benchmark::Counter(
      double(skinned.bindings), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Deform alone: the pose is sampled and brought up to date once.
void Deform(benchmark::State& state, Skinned& skinned) {
  const Skinned_Mesh mesh(skinned.skin);
  std::vector<Vector_3<float>> points(mesh.Point_Count());
  skinned.sequence.Get_Frame_Time(*skinned.frame, 0.7f);
  for (auto _ : state) {
    mesh.Deform(*skinned.frame, points.data());
    benchmark::DoNotOptimize(points.data());
    benchmark::ClobberMemory();
  }
  Report(state, skinned);
}

void Make(benchmark::State& state, Skinned& skinned) {
  for (auto _ : state) {
    const Skinned_Mesh mesh(skinned.skin);
    benchmark::DoNotOptimize(mesh.Point_Count());
  }
  Report(state, skinned);
}

void BM_Deform_Walk(benchmark::State& state) { Deform(state, Walk()); }
void BM_Deform_Million(benchmark::State& state) { Deform(state, Million()); }
void BM_Make_Walk(benchmark::State& state) { Make(state, Walk()); }
void BM_Make_Million(benchmark::State& state) { Make(state, Million()); }

BENCHMARK(BM_Deform_Walk);
BENCHMARK(BM_Deform_Million)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Make_Walk)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Make_Million)->Unit(benchmark::kMillisecond);

}  // namespace
