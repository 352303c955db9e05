#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <random>
#include <vector>

namespace sim {

// Where Windows may answer in more than one way (which error a removed device's
// transfer gives, whether a cancelled request still completes with data, how long an
// arrival stage takes, on which thread a completion runs), the simulator asks here.
// By default each question gets the usual answer its caller names. With
// PXUSB_UNKIND=<seed> in the environment the answers are drawn from a generator seeded
// with it ("random" draws the seed), and the seed is printed once on stderr, so that a
// failing run can be replayed.
class Variance {
 public:
  static Variance& instance();

  bool unkind() const { return unkind_; }

  // `usual`, or when unkind one of `usual` and `others`, each as likely.
  template <class T>
  T pick(T usual, std::initializer_list<T> others) {
    if (!unkind_) return usual;
    std::vector<T> all{usual};
    all.insert(all.end(), others);
    return all[draw(all.size())];
  }
  // `usual`, or when unkind a number from low to high.
  unsigned between(unsigned usual, unsigned low, unsigned high) {
    return unkind_ ? low + static_cast<unsigned>(draw(std::uint64_t{high} - low + 1)) : usual;
  }
  // For suites that always run unkind: unless it already is, unkind with a seed drawn
  // and printed as for PXUSB_UNKIND=random.
  void becomeUnkind();

 private:
  Variance();
  // Unkind with `seed`, printed so that PXUSB_UNKIND replays the run.
  void beUnkind(std::uint64_t seed);
  std::uint64_t draw(std::uint64_t count);

  std::mutex mutex_;
  std::mt19937_64 generator_;
  std::atomic<bool> unkind_{false};
};

}  // namespace sim
