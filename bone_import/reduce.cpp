// Key reduction with an error bound: drops keys while every check point of the
// skeleton stays within max_error of the original (see Sequence::Reduce).
//
// The model: at every check time, every sampled bone's world pose (rotation
// and position) in double precision, for the original keys and for the kept
// ones. Dropping key k of bone b changes only b's local pose at the check
// times strictly between k's kept neighbours, and with it the world poses of
// b's subtree there; that is all a candidate drop recomputes, stopping at the
// first point over the bound. Keys go smallest resulting error first (a lazy
// queue: a candidate is re-measured when it comes up, and waits its turn
// again if it grew). The model works a little inside the bound; the result is
// then checked through the library's own float sampling, and keys are put back
// around any check time that fails.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <queue>
#include <type_traits>
#include <vector>

#include "bone_import.h"
#include "check.h"
#include "key_groups.h"

namespace Vantorix {
namespace Bone_Import {

namespace {

const char* const SOURCE = "bone_import/bones";

// The double-precision model works this much inside the bound, for the gap to
// the library's float sampling.
constexpr double MODEL_MARGIN = 0.998;

struct Pose {
  double base[9];  // row-major rotation
  double position[3];
};

// The pose between keys a and z at weight f, as sampling blends it: the
// shorter arc normalised, offsets linearly; f outside 0 .. 1 extrapolates.
Pose Blend_Keys(const Quaternion& a, const Quaternion& z, const Vector_3<float>& oa, const Vector_3<float>& oz,
                double f) {
  const double d = double(a.w) * z.w + double(a.v.x) * z.v.x + double(a.v.y) * z.v.y + double(a.v.z) * z.v.z;
  const double p = 1 - f, q = d < 0 ? -f : f;
  double w = p * a.w + q * z.w, x = p * a.v.x + q * z.v.x, y = p * a.v.y + q * z.v.y, v = p * a.v.z + q * z.v.z;
  const double k = 1 / std::sqrt(w * w + x * x + y * y + v * v);
  w *= k, x *= k, y *= k, v *= k;
  Pose pose;
  double* m = pose.base;
  m[0] = 1 - 2 * (y * y + v * v), m[1] = 2 * (x * y - w * v), m[2] = 2 * (x * v + w * y);
  m[3] = 2 * (x * y + w * v), m[4] = 1 - 2 * (v * v + x * x), m[5] = 2 * (y * v - w * x);
  m[6] = 2 * (x * v - w * y), m[7] = 2 * (y * v + w * x), m[8] = 1 - 2 * (x * x + y * y);
  pose.position[0] = p * oa.x + f * oz.x;
  pose.position[1] = p * oa.y + f * oz.y;
  pose.position[2] = p * oa.z + f * oz.z;
  return pose;
}

void Compose(const Pose& parent, const Pose& local, Pose& out) {
  const double* a = parent.base;
  const double* b = local.base;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j)
      out.base[3 * i + j] = a[3 * i] * b[j] + a[3 * i + 1] * b[3 + j] + a[3 * i + 2] * b[6 + j];
    out.position[i] = a[3 * i] * local.position[0] + a[3 * i + 1] * local.position[1] +
                      a[3 * i + 2] * local.position[2] + parent.position[i];
  }
}

// Squared distance between two poses of a bone, largest over its position
// and the three points at `reach` along its axes.
double Error2(const double* base, const double* position, const double* was_base, const double* was_position,
              double reach) {
  const double d[3] = {position[0] - was_position[0], position[1] - was_position[1], position[2] - was_position[2]};
  double worst = d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
  for (int axis = 0; axis < 3; ++axis) {
    double e = 0;
    for (int i = 0; i < 3; ++i) {
      const double v = d[i] + reach * (base[3 * i + axis] - was_base[3 * i + axis]);
      e += v * v;
    }
    worst = std::max(worst, e);
  }
  return worst;
}

class Reducer {
 public:
  Reducer(const Sequence& sequence, const std::vector<double>& check_times, double limit, double reach)
      : s(sequence), h(sequence.Get_Hierarchy()), times(check_times), limit2(limit * limit), reach(reach) {
    Build_Order();
    Build_Poses();
  }

  // Rounds with a rising bound, E * sqrt(r / 8) in round r, and a last round
  // at E: every round measures every kept key anew, so keys that were over
  // the bound earlier get another chance once their neighbours have moved,
  // and the budget is not spent on the first keys to come up.
  void Run() {
    Drop_Repeated_Keys();
    const double full = limit2;
    constexpr int ROUNDS = 8;
    for (int r = 1; r <= ROUNDS + 1; ++r) {
      limit2 = full * double(std::min(r, ROUNDS)) / ROUNDS;
      Greedy();
    }
  }

  // Smallest resulting error first, while it stays within the bound. Every
  // drop is measured exactly against the current state before it is made.
  void Greedy() {
    struct Candidate {
      double cost;
      unsigned int bone, key;
      bool operator<(const Candidate& other) const { return cost > other.cost; }
    };
    std::priority_queue<Candidate> queue;
    for (unsigned int b : sampled)
      for (unsigned int k = 1; k + 1 < s.Key_Count(b); ++k) {
        if (!kept[b][k]) continue;
        const double cost = Evaluate(b, k, false);
        if (cost <= limit2) queue.push({cost, b, k});
      }
    while (!queue.empty()) {
      const Candidate top = queue.top();
      queue.pop();
      if (!kept[top.bone][top.key]) continue;
      const double cost = Evaluate(top.bone, top.key, false);
      if (cost > limit2) continue;
      if (cost > top.cost && !queue.empty() && cost > queue.top().cost) {
        queue.push({cost, top.bone, top.key});  // grown since it was measured
        continue;
      }
      const unsigned int a = prev[top.bone][top.key], z = next[top.bone][top.key];
      Evaluate(top.bone, top.key, true);
      kept[top.bone][top.key] = 0;
      next[top.bone][a] = z;
      prev[top.bone][z] = a;
      for (unsigned int neighbour : {a, z})
        if (neighbour != 0 && neighbour + 1 != s.Key_Count(top.bone)) {
          const double c = Evaluate(top.bone, neighbour, false);
          if (c <= limit2) queue.push({c, top.bone, neighbour});
        }
    }
  }

  // A key equal to both its neighbours lies inside a run of equal keys, over
  // which the pose stays the same whatever is dropped: all such keys go at
  // once, without measuring (motion capture holds many bones still).
  void Drop_Repeated_Keys() {
    const auto same = [](const Quaternion& q, const Vector_3<float>& o, const Quaternion& r, const Vector_3<float>& p) {
      return std::memcmp(&q, &r, sizeof q) == 0 && std::memcmp(&o, &p, sizeof o) == 0;
    };
    for (unsigned int b : sampled) {
      const Quaternion* q = s.Key_Rotations(b);
      const Vector_3<float>* o = s.Key_Offsets(b);
      const unsigned int n = s.Key_Count(b);
      for (unsigned int k = 1; k + 1 < n; ++k)
        if (same(q[k], o[k], q[k - 1], o[k - 1]) && same(q[k], o[k], q[k + 1], o[k + 1])) {
          kept[b][k] = 0;
          next[b][prev[b][k]] = next[b][k];
          prev[b][next[b][k]] = prev[b][k];
        }
      // The poses over each merged run are the run's one pose already.
    }
  }

  // Per bone and key: whether it stays. Leaves keep only their ends.
  std::vector<std::vector<unsigned char>> kept;

 private:
  void Build_Order() {
    const unsigned int bones = h.Bone_Count();
    parent.assign(bones, INVALID_INDEX);
    std::vector<std::vector<unsigned int>> children(bones);
    for (unsigned int b = 0; b < bones; ++b) {
      const unsigned int p = b == h.Root_Index() ? INVALID_INDEX : h.Parent_Index(b);
      if (p < bones) parent[b] = p, children[p].push_back(b);
    }
    // Depth first, parent before child, so each subtree is one run; a parent
    // loop, which reaches no root, starts at its lowest bone.
    std::vector<unsigned char> placed(bones, 0);
    std::vector<unsigned int> order;
    auto place_from = [&](unsigned int top) {
      std::vector<unsigned int> stack{top};
      placed[top] = 1;
      while (!stack.empty()) {
        const unsigned int b = stack.back();
        stack.pop_back();
        order.push_back(b);
        for (auto c = children[b].rbegin(); c != children[b].rend(); ++c)
          if (!placed[*c]) placed[*c] = 1, stack.push_back(*c);
      }
    };
    for (unsigned int b = 0; b < bones; ++b)
      if (parent[b] == INVALID_INDEX) place_from(b);
    for (unsigned int b = 0; b < bones; ++b)
      if (!placed[b]) parent[b] = INVALID_INDEX, place_from(b);
    // Leaves are never sampled; their points are their parent's.
    for (unsigned int b : order)
      if (!h.Is_Leaf(b)) sampled.push_back(b);
    position.assign(bones, 0);
    for (unsigned int i = 0; i < sampled.size(); ++i) position[sampled[i]] = i;
    subtree_end.assign(bones, 0);
    for (unsigned int i = unsigned(sampled.size()); i-- > 0;) {
      const unsigned int b = sampled[i];
      subtree_end[b] = std::max(subtree_end[b], i + 1);
      if (parent[b] != INVALID_INDEX) subtree_end[parent[b]] = std::max(subtree_end[parent[b]], subtree_end[b]);
    }
  }

  void Build_Poses() {
    const unsigned int bones = h.Bone_Count();
    key_check.resize(bones);
    kept.resize(bones);
    prev.resize(bones);
    next.resize(bones);
    for (unsigned int b = 0; b < bones; ++b) {
      const unsigned int n = s.Key_Count(b);
      const float* t = s.Key_Times(b);
      kept[b].assign(n, 1);
      for (unsigned int k = 0; k < n; ++k) {
        key_check[b].push_back(unsigned(std::lower_bound(times.begin(), times.end(), double(t[k])) - times.begin()));
        prev[b].push_back(k ? k - 1 : 0);
        next[b].push_back(k + 1 < n ? k + 1 : n - 1);
      }
      if (h.Is_Leaf(b))
        for (unsigned int k = 1; k + 1 < n; ++k) kept[b][k] = 0;
    }
    local.resize(bones);
    world.resize(bones);
    original.resize(bones);
    for (unsigned int b : sampled) {
      const unsigned int n = s.Key_Count(b);
      local[b].resize(times.size());
      for (unsigned int k = 0, c = 0; c < times.size(); ++c) {
        while (k + 2 < n && key_check[b][k + 1] < c) ++k;  // the interval the library uses
        local[b][c] = Local_At(b, k, k + 1, c);
      }
    }
    for (unsigned int b : sampled) {
      world[b].resize(times.size());
      for (std::size_t c = 0; c < times.size(); ++c)
        if (parent[b] == INVALID_INDEX)
          world[b][c] = local[b][c];
        else
          Compose(world[parent[b]][c], local[b][c], world[b][c]);
      original[b] = world[b];
    }
  }

  Pose Local_At(unsigned int b, unsigned int a, unsigned int z, std::size_t c) const {
    const float* t = s.Key_Times(b);
    const double f = (times[c] - t[a]) / (double(t[z]) - t[a]);
    return Blend_Keys(s.Key_Rotations(b)[a], s.Key_Rotations(b)[z], s.Key_Offsets(b)[a], s.Key_Offsets(b)[z], f);
  }

  // The largest squared error at any point if key k of bone b went, at the
  // check times strictly between its kept neighbours. Stops once over the
  // bound unless `commit`, which keeps the new poses.
  double Evaluate(unsigned int b, unsigned int k, bool commit) {
    const unsigned int a = prev[b][k], z = next[b][k];
    const unsigned int first = position[b], last = subtree_end[b];
    scratch.resize(last - first);
    double worst = 0;
    for (unsigned int c = key_check[b][a] + 1; c < key_check[b][z]; ++c) {
      const Pose changed = Local_At(b, a, z, c);
      for (unsigned int i = first; i < last; ++i) {
        const unsigned int d = sampled[i];
        const unsigned int p = parent[d];
        const Pose& own = d == b ? changed : local[d][c];
        Pose& out = scratch[i - first];
        if (p == INVALID_INDEX)
          out = own;
        else
          Compose(position[p] >= first && position[p] < last && d != b ? scratch[position[p] - first] : world[p][c],
                  own, out);
        worst = std::max(worst, Error2(out.base, out.position, original[d][c].base, original[d][c].position, reach));
        if (!commit && worst > limit2) return worst;
      }
      if (commit) {
        local[b][c] = changed;
        for (unsigned int i = first; i < last; ++i) world[sampled[i]][c] = scratch[i - first];
      }
    }
    return worst;
  }

  const Sequence& s;
  const Hierarchy& h;
  const std::vector<double>& times;
  double limit2;
  const double reach;
  std::vector<unsigned int> parent, sampled, position, subtree_end;
  std::vector<std::vector<unsigned int>> key_check, prev, next;
  std::vector<std::vector<Pose>> local, world, original;
  std::vector<Pose> scratch;
};

// Every key time of the sequence (of any bone) and every midpoint between two
// neighbouring ones.
std::vector<double> Check_Times(const Sequence& s) {
  std::vector<float> all;
  for (unsigned int b = 0; b < s.Get_Hierarchy().Bone_Count(); ++b)
    all.insert(all.end(), s.Key_Times(b), s.Key_Times(b) + s.Key_Count(b));
  std::sort(all.begin(), all.end());
  all.erase(std::unique(all.begin(), all.end()), all.end());
  std::vector<double> times;
  for (std::size_t i = 0; i < all.size(); ++i) {
    times.push_back(all[i]);
    if (i + 1 < all.size()) times.push_back(0.5 * (double(all[i]) + double(all[i + 1])));
  }
  return times;
}

// The squared errors of every bone between two frames at one moment.
void Frame_Errors2(Frame& original, Frame& edited, unsigned int bones, float reach, double* errors) {
  for (unsigned int bone = 0; bone < bones; ++bone) {
    double base[9], was_base[9], position[3], was_position[3];
    const Matrix_3x3<float>&m = edited.Base(bone), &was = original.Base(bone);
    for (int i = 0; i < 9; ++i) base[i] = m.m[i / 3][i % 3], was_base[i] = was.m[i / 3][i % 3];
    for (int i = 0; i < 3; ++i) position[i] = edited.Offset(bone)[i], was_position[i] = original.Offset(bone)[i];
    errors[bone] = Error2(base, position, was_base, was_position, reach);
  }
}

}  // namespace

std::vector<double> Sequence::Reduction_Errors(const Sequence& original, const Sequence& edited, float reach) {
  original.Require_Filled();
  edited.Require_Filled();
  const Hierarchy& h = original.Get_Hierarchy();
  std::vector<double> worst(h.Bone_Count(), 0.0), now(h.Bone_Count());
  Frame a(h, false), b(h, false);
  for (double time : Check_Times(original)) {
    original.Get_Frame_Time(a, float(time));
    edited.Get_Frame_Time(b, float(time));
    Frame_Errors2(a, b, h.Bone_Count(), reach, now.data());
    for (unsigned int bone = 0; bone < h.Bone_Count(); ++bone) worst[bone] = std::max(worst[bone], now[bone]);
  }
  for (double& e : worst) e = std::sqrt(e);
  return worst;
}

void Sequence::Fill_From(const Sequence& source, const std::vector<std::vector<unsigned char>>& kept) {
  const unsigned int bone_count = hier->Bone_Count();
  Allocate_Tables(bone_count);
  length = source.length;
  for (unsigned int bone = 0; bone < bone_count; ++bone) {
    unsigned int n = 0;
    for (unsigned char k : kept[bone]) n += k;
    frame_times[bone] = new float[n];
    frame_rotations[bone] = new Quaternion[n];
    frame_offsets[bone] = new Vector_3<float>[n];
    for (unsigned int k = 0, j = 0; k < source.number_of_frames[bone]; ++k)
      if (kept[bone][k]) {
        frame_times[bone][j] = source.frame_times[bone][k];
        frame_rotations[bone][j] = source.frame_rotations[bone][k];
        frame_offsets[bone][j] = source.frame_offsets[bone][k];
        ++j;
      }
    number_of_frames[bone] = n;
    Note_Key_Order(bone);
  }
  Build_Key_Groups();
  state = Fill_State::FILLED;
}

void Sequence::Keep_First_Keys(unsigned int bone, unsigned int count) {
  const auto shrink = [count](auto*& keys) {
    auto* exact = new std::remove_reference_t<decltype(*keys)>[count];
    std::copy(keys, keys + count, exact);
    delete[] keys;
    keys = exact;
  };
  shrink(frame_times[bone]);
  shrink(frame_rotations[bone]);
  shrink(frame_offsets[bone]);
  number_of_frames[bone] = count;
}

void Sequence::Reduce(float max_error, float reach) {
  Require_Filled();
  BONE_IMPORT_CHECK(max_error > 0.0f && std::isfinite(max_error), "max_error > 0.0f && std::isfinite(max_error)",
                    SOURCE, "The largest error for Reduce must be a finite number above 0");
  BONE_IMPORT_CHECK(reach >= 0.0f && std::isfinite(reach), "reach >= 0.0f && std::isfinite(reach)", SOURCE,
                    "The reach for Reduce must be a finite number, 0 or more");
  const unsigned int bone_count = hier->Bone_Count();
  for (unsigned int bone = 0; bone < bone_count; ++bone)
    BONE_IMPORT_CHECK(increasing_times[bone], "increasing_times[bone]", SOURCE,
                      "Reduce needs key times that rise strictly, bone " << hier->Bone_Name(bone));

  const std::vector<double> times = Check_Times(*this);
  Reducer reducer(*this, times, max_error * MODEL_MARGIN, reach);
  reducer.Run();
  std::vector<std::vector<unsigned char>>& kept = reducer.kept;
  // The result through the library's own float sampling: where a check time
  // fails, every bone gets back the keys of the span that holds it.
  std::vector<double> errors(bone_count);
  for (;;) {
    Sequence reduced(*hier);
    reduced.Fill_From(*this, kept);
    Frame a(*hier, false), b(*hier, false);
    std::vector<double> failed;
    for (double time : times) {
      Get_Frame_Time(a, float(time));
      reduced.Get_Frame_Time(b, float(time));
      Frame_Errors2(a, b, bone_count, reach, errors.data());
      if (*std::max_element(errors.begin(), errors.end()) > double(max_error) * max_error) failed.push_back(time);
    }
    if (failed.empty()) break;
    for (double time : failed)
      for (unsigned int bone = 0; bone < bone_count; ++bone) {
        const float* t = frame_times[bone];
        const unsigned int n = number_of_frames[bone];
        const unsigned int k = std::min(unsigned(std::lower_bound(t, t + n, float(time)) - t), n - 1);
        for (unsigned int j = k; j < n && !kept[bone][j]; ++j) kept[bone][j] = 1;
        for (unsigned int j = k; j-- > 0 && !kept[bone][j];) kept[bone][j] = 1;
      }
  }

  // Keep the kept keys, in place, then shrink each bone's arrays to fit;
  // until the key groups are rebuilt, nothing may sample the sequence.
  state = Fill_State::FAILED;
  for (unsigned int bone = 0; bone < bone_count; ++bone) {
    unsigned int count = 0;
    for (unsigned int k = 0; k < number_of_frames[bone]; ++k)
      if (kept[bone][k]) {
        frame_times[bone][count] = frame_times[bone][k];
        frame_rotations[bone][count] = frame_rotations[bone][k];
        frame_offsets[bone][count] = frame_offsets[bone][k];
        ++count;
      }
    if (count != number_of_frames[bone]) Keep_First_Keys(bone, count);
  }
  Build_Key_Groups();
  state = Fill_State::FILLED;
}

}  // namespace Bone_Import
}  // namespace Vantorix
