// The search for the keys Reduce keeps, over its model (reduce_model.h): the
// keys that go without measuring, then passes over the skeleton that give
// each bone the fewest keys whose spans hold.
#include <algorithm>
#include <cstring>
#include <vector>

#include "reduce_model.h"

namespace Vantorix {
namespace Bone_Import {
namespace Reduction {

namespace {

// Of the keys a step reaches, this many of the farthest are measured (see
// Resolve).
constexpr unsigned int SCANNED = 2;

}  // namespace

void Reducer::Run() {
  Drop_Repeated_Keys();
  Drop_Unplaced_Keys();
  constexpr int PASSES = 4;
  for (int pass = 0; pass < PASSES; ++pass)
    for (unsigned int b : sampled) Resolve(b, pass % 2 == 1);
}

void Reducer::Drop_Repeated_Keys() {
  const auto same = [](const Quaternion& q, const Vector_3<float>& o, const Quaternion& r, const Vector_3<float>& p) {
    return std::memcmp(&q, &r, sizeof q) == 0 && std::memcmp(&o, &p, sizeof o) == 0;
  };
  for (unsigned int b : sampled) {
    if (whole[b]) continue;
    const Quaternion* q = s.Key_Rotations(b);
    const Vector_3<float>* o = s.Key_Offsets(b);
    const unsigned int n = s.Key_Count(b);
    for (unsigned int k = 1; k + 1 < n; ++k)
      if (placed[b][k] && same(q[k], o[k], q[k - 1], o[k - 1]) && same(q[k], o[k], q[k + 1], o[k + 1])) kept[b][k] = 0;
    Link_Kept(b);
    // The poses over each merged run are the run's one pose already.
  }
}

void Reducer::Drop_Unplaced_Keys() {
  for (unsigned int b : sampled) {
    const unsigned int n = s.Key_Count(b);
    if (whole[b] || std::find(placed[b].begin(), placed[b].end(), 0) == placed[b].end()) continue;
    for (unsigned int k = 1; k + 1 < n; ++k)
      if (!placed[b][k]) kept[b][k] = 0;
    Link_Kept(b);
    bool holds = true;
    const auto bridges = [&](unsigned int a) {  // the span from a passes over keys that are not finite
      return std::find(&placed[b][a], &placed[b][next[b][a]], 0) != &placed[b][next[b][a]];
    };
    for (unsigned int a = 0; a + 1 < n && holds; a = next[b][a])
      if (bridges(a)) holds = Holds(b, a, next[b][a]);
    if (!holds) {
      whole[b] = 1;
      std::fill(kept[b].begin(), kept[b].end(), 1);
      Link_Kept(b);
      continue;
    }
    for (unsigned int a = 0; a + 1 < n; a = next[b][a])
      if (bridges(a)) Commit(b, a, next[b][a]);
  }
}

void Reducer::Resolve(unsigned int b, bool latest) {
  if (whole[b]) return;
  std::vector<unsigned int> key;  // the finite keys, by position
  const unsigned int keys = s.Key_Count(b);
  for (unsigned int k = 0; k < keys; ++k)
    if (placed[b][k]) key.push_back(k);
  const unsigned int n = unsigned(key.size());
  unsigned int now = 0;
  for (unsigned char k : kept[b]) now += k;
  if (now <= 2) return;
  // Positions count from the start toward the end; distances from a
  // position toward the end. Per position, the distance to the next of the
  // bone's current keys (a step that holds), or 0.
  const unsigned int end = latest ? n - 1 : 0;
  const auto toward = [&](unsigned int at, unsigned int distance) { return latest ? at + distance : at - distance; };
  const auto room = [&](unsigned int at) { return latest ? end - at : at; };
  std::vector<unsigned int> known(n, 0);
  for (unsigned int i = 0, last = 0; i < n; ++i) {
    if (!kept[b][key[i]]) continue;
    if (i > 0) (latest ? known[last] : known[i]) = i - last;
    last = i;
  }
  Begin_Rows(b);
  const auto holds = [&](unsigned int at, unsigned int distance, bool estimate) {
    const unsigned int to = toward(at, distance);
    return Holds(b, key[std::min(at, to)], key[std::max(at, to)], estimate);
  };
  const auto estimated = [&](unsigned int at, unsigned int distance) {
    const unsigned int to = toward(at, distance);
    return End_Check(b, key[std::max(at, to)]) - First_Check(b, key[std::min(at, to)]) > ESTIMATE_CHECKS;
  };
  // The farthest distance from `at` that a span reaches: `lo` holds (or is
  // 0), the search starts at `guess`. With `estimate`, the answer may be
  // too far; without, it holds.
  const auto search = [&](unsigned int at, unsigned int lo, unsigned int guess, bool estimate) {
    const unsigned int limit = room(at);
    if (lo >= limit) return lo;
    unsigned int hi = std::min(std::max(guess, lo + 1), limit);
    if (holds(at, hi, estimate)) {
      // On from the guess: one key, then two, four, ...
      lo = hi;
      for (unsigned int step = 1; lo < limit;) {
        const unsigned int to = lo + std::min(step, limit - lo);
        if (holds(at, to, estimate))
          lo = to, step *= 2;
        else if (step == 1)
          break;
        else
          step /= 2;
      }
      return lo;
    }
    // Back from the guess the same way, then halving what is left.
    for (unsigned int step = 1; hi - lo > 1; step *= 2) {
      const unsigned int to = hi - std::min(step, hi - lo - 1);
      if (holds(at, to, estimate)) {
        lo = to;
        break;
      }
      hi = to;
    }
    while (hi - lo > 1) {
      const unsigned int middle = lo + (hi - lo) / 2;
      if (holds(at, middle, estimate))
        lo = middle;
      else
        hi = middle;
    }
    return lo;
  };
  const auto farthest = [&](unsigned int at, unsigned int lo, unsigned int guess) {
    unsigned int reach = search(at, lo, guess, true);
    // Checked in full back from the estimate: a span too long mostly fails
    // at once, and the first that holds is the answer.
    if (reach > lo && estimated(at, reach))
      while (reach > lo && !holds(at, reach, false)) --reach;
    return reach;
  };
  // Each step's span goes into the model as the path takes it (a span's
  // check times depend on no other span of the bone), and so do the
  // current spans that it follows, whose rows checks may have used; a path
  // given up, in part or whole, gives its stretch back to the bone's
  // current spans.
  // Gives the bone's current spans back their rows from path position
  // `from` on (checks may have used rows anywhere ahead of the path).
  const auto restore = [&](unsigned int from) {
    unsigned int a = latest ? key[from] : 0;
    const unsigned int z = latest ? keys - 1 : key[from];
    while (!kept[b][a]) --a;
    for (; a < z; a = next[b][a]) Commit(b, a, next[b][a]);
  };

  std::vector<unsigned int> path{latest ? 0u : n - 1};
  unsigned int at = path.back(), reach = farthest(at, known[at], 1);
  while (at != end) {
    unsigned int best = 0, best_end = 0;  // distances from `at`; 0: none yet
    if (reach == room(at)) {
      best = best_end = reach;
    } else {
      for (unsigned int d = reach; d > 0 && best_end < room(at); --d) {
        const unsigned int j = toward(at, d), sure = known[j];
        if (best != 0 && d + SCANNED <= reach && sure == 0) continue;
        unsigned int j_end;
        if (d + sure > best_end) {
          j_end = d + farthest(j, sure, best_end >= d ? best_end + 1 - d : d);
          if (j_end == d) continue;  // no span from j holds: no way on
        } else {
          if (!holds(j, best_end + 1 - d, true)) continue;
          j_end = d + farthest(j, 0, best_end + 1 - d);
          if (j_end <= best_end) continue;
        }
        if (d == reach || known[at] == d || holds(at, d, false)) best = d, best_end = j_end;
      }
      if (best == 0) {
        // Nothing on from here (other bones may leave a stretch no room
        // but the bone's current keys): back to the last of the path's
        // keys that is one of them, and one step as they go.
        std::size_t i = path.size() - 1;
        while (!kept[b][key[path[i]]]) --i;
        restore(path[i]);
        path.resize(i + 1);
        at = path.back();
        best = known[at];
        best_end = best + farthest(toward(at, best), known[toward(at, best)], best);
      }
    }
    const unsigned int to = toward(at, best);
    Commit(b, key[std::min(at, to)], key[std::max(at, to)]);
    at = to;
    path.push_back(at);
    // Keys of any path on from here; more than now: no change.
    if (path.size() + (at == end ? 0 : 1) > now) {
      restore(path.front());
      return End_Rows();
    }
    reach = best_end - best;
  }
  std::fill(kept[b].begin(), kept[b].end(), 0);
  for (unsigned int i : path) kept[b][key[i]] = 1;
  Link_Kept(b);
  End_Rows();
}

}  // namespace Reduction
}  // namespace Bone_Import
}  // namespace Vantorix
