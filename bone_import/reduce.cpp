// Key reduction with an error bound: drops keys while every check point of the
// skeleton stays within max_error of the original (see Sequence::Reduce).
//
// How: reduce_model.h. Here the bounds the model works to, and the check of
// its result through the library's own float sampling: where check times
// fail, the model runs again tighter there, and as a last resort keys are
// put back around them.
#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "check.h"
#include "reduce_model.h"
#include "sequence_keys.h"
#include "skeleton_order.h"

namespace Vantorix {
namespace Bone_Import {

using namespace Reduction;

namespace {

const char* const SOURCE = "bone_import/bones";

// The double-precision model works this much inside the bound, for the gap to
// the library's float sampling.
constexpr double MODEL_MARGIN = 0.998;

// The model keeps two poses and the original's points per sampled bone and
// check time; it stays within this much memory.
constexpr double MODEL_BYTES_PER_POSE = 3 * 12 * sizeof(double);
constexpr std::size_t MODEL_BYTES = std::size_t(1) << 31;

}  // namespace

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
  std::size_t sampled = 0;
  for (unsigned int bone = 0; bone < bone_count; ++bone) sampled += !hier->Is_Leaf(bone);
  const double bytes = double(sampled) * double(times.size()) * MODEL_BYTES_PER_POSE;
  BONE_IMPORT_CHECK(bytes <= MODEL_BYTES, "bytes <= MODEL_BYTES", SOURCE,
                    "Reduce would need " << std::ceil(bytes / (1 << 20)) << " MiB for " << sampled << " bones at "
                                         << times.size() << " check times; it works within " << (MODEL_BYTES >> 20)
                                         << " MiB");
  // The result through the library's own float sampling, at every check
  // time: `failed(c)` is called at each check time c where a point is over
  // the bound, with each bone's squared error there in `errors`.
  const double bound2 = double(max_error) * max_error;
  std::vector<double> errors(bone_count);
  const auto measure = [&](const std::vector<std::vector<unsigned char>>& kept, auto&& failed) {
    Sequence reduced(*hier);
    Sequence_Keys::Copy(reduced, *this, kept);
    Frame a(*hier, false), b(*hier, false);
    for (std::size_t c = 0; c < times.size(); ++c) {
      Get_Frame_Time(a, float(times[c]));
      reduced.Get_Frame_Time(b, float(times[c]));
      Frame_Errors2(a, b, bone_count, reach, errors.data());
      for (double e : errors)
        if (!(e <= bound2)) {
          failed(c);
          break;
        }
    }
  };
  // Float sampling strays from the double-precision model, where
  // coordinates are large next to the bound by more than the model's margin.
  // Where that makes check times fail, the passes run again with the model's
  // bound at those times lowered by twice what they failed by, a few times
  // at most: giving keys back afterwards would upset the bones below, whose
  // keys were chosen around their parents' errors.
  constexpr int ATTEMPTS = 4;
  std::unique_ptr<Reducer> reducer = std::make_unique<Reducer>(*this, times, reach);
  // Float rounding of coordinates as large as the skeleton's: the model
  // leaves room for a few units in the last place of them, if the margin
  // leaves less.
  const float largest = float(reducer->Largest_Coordinate());
  const double rounding = 4.0 * (std::nextafter(largest, INFINITY) - largest);
  std::vector<double> limits(times.size(), std::min(max_error * MODEL_MARGIN, max_error - rounding));
  for (int attempt = 1;; ++attempt) {
    if (attempt > 1) {
      reducer.reset();
      reducer = std::make_unique<Reducer>(*this, times, reach);
    }
    reducer->Set_Limits(limits);
    reducer->Run();
    if (attempt == ATTEMPTS) break;
    bool tightened = false;
    double most = 0;
    measure(reducer->kept, [&](std::size_t c) {
      double excess = 0;
      for (double e : errors)
        if (e > bound2 && std::isfinite(e)) excess = std::max(excess, std::sqrt(e) - max_error);
      if (excess > 0 && limits[c] > 2 * excess) limits[c] -= 2 * excess, tightened = true;
      most = std::max(most, excess);
    });
    // Elsewhere the same strays may come next time: the bound everywhere
    // goes down by the largest excess.
    if (tightened)
      for (double& limit : limits) limit = std::max(limit - most, 0.5 * limit);
    if (!tightened) break;
  }
  std::vector<std::vector<unsigned char>>& kept = reducer->kept;
  // Where a bone still fails at a check time, the first bone up its chain
  // (itself unless a leaf, whose points are its parent's) that has dropped a
  // finite key around that time gets back the one nearest to it, and the
  // check repeats. After a few such rounds the failing bones and all their
  // ancestors get back the finite keys of the spans around the time: they
  // then sample as the original there, unless a key that is not finite went
  // next to it, and such a bone keeps all its keys from then on. So every
  // check time comes to hold, and the loop ends.
  constexpr int ONE_KEY_ROUNDS = 3;
  const std::vector<unsigned int> parents = Skeleton_Order::Parents_Of(*hier);
  // Gives back finite keys of `bone` around `time`: the nearest one, or all
  // of the span. Whether any came back.
  const auto give_back = [&](unsigned int bone, double time, bool one) {
    const float* t = frame_times[bone];
    const unsigned int n = number_of_frames[bone];
    const std::vector<unsigned char>& placed = reducer->placed[bone];
    // The keys around the time; before the first key, the first span's.
    const unsigned int k = std::max(1u, std::min(unsigned(std::lower_bound(t, t + n, float(time)) - t), n - 1));
    if (one) {
      // The nearest finite dropped keys at or after k, and before k.
      unsigned int after = k, before = k;
      while (after < n && !kept[bone][after] && !placed[after]) ++after;
      while (before > 0 && !kept[bone][before - 1] && !placed[before - 1]) --before;
      const bool has_after = after < n && !kept[bone][after], has_before = before > 0 && !kept[bone][before - 1];
      if (!has_after && !has_before) return false;
      const bool later = has_after && (!has_before || double(t[after]) - time <= time - double(t[before - 1]));
      kept[bone][later ? after : before - 1] = 1;
      return true;
    }
    bool given = false;
    for (unsigned int j = k; j < n && !kept[bone][j]; ++j)
      if (placed[j]) kept[bone][j] = 1, given = true;
    for (unsigned int j = k; j-- > 0 && !kept[bone][j];)
      if (placed[j]) kept[bone][j] = 1, given = true;
    return given;
  };
  std::vector<unsigned int> failing;
  for (int round = 0, restored = 1; restored; ++round) {
    const bool one = round < ONE_KEY_ROUNDS;
    restored = 0;
    measure(kept, [&](std::size_t c) {
      const double time = times[c];
      bool given = false;
      failing.clear();
      for (unsigned int bone = 0; bone < bone_count; ++bone) {
        if (errors[bone] <= bound2) continue;
        // Up the chain; a parent loop ends where it comes back.
        for (unsigned int up = bone, steps = 0; up != INVALID_INDEX && steps < bone_count; up = parents[up], ++steps) {
          if (hier->Is_Leaf(up) || reducer->whole[up]) continue;
          failing.push_back(up);
          if (give_back(up, time, one)) {
            given = true;
            if (one) break;
          }
        }
      }
      if (!given && !one)
        for (unsigned int up : failing)
          if (std::find(reducer->placed[up].begin(), reducer->placed[up].end(), 0) != reducer->placed[up].end()) {
            reducer->whole[up] = 1;
            std::fill(kept[up].begin(), kept[up].end(), 1);
            given = true;
          }
      // A one-key round that had nothing to give leaves the time to the
      // rounds that give whole spans.
      restored = restored || given || one;
    });
  }

  Sequence_Keys::Keep(*this, kept);
}

}  // namespace Bone_Import
}  // namespace Vantorix
