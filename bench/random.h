// Random: splitmix64, small, fast and fully defined, so every platform draws
// the same sequence from the same seed. The capture generator, the
// micro-benchmarks and the tests that build seeded traffic share it.
#ifndef SURGEWATCH_BENCH_RANDOM_H
#define SURGEWATCH_BENCH_RANDOM_H

#include <cstdint>

class Random {
public:
    explicit Random(uint64_t seed) : state_(seed) {}
    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [0, 1), 53 bits.
    double unit() { return double(next() >> 11) * 0x1.0p-53; }
    // Uniform in [0, n), n > 0; the bias is far below anything measurable here.
    uint64_t below(uint64_t n) { return next() % n; }

private:
    uint64_t state_;
};

#endif
