// How much faster this machine runs a job of several threads than of one, for bench/run.sh:
// a loop that touches no memory, run on one thread and then on `threads` threads at once,
// each doing the one thread's work. Prints the speed-up: `threads` for a machine whose cores
// are all its own, less where virtual CPUs share the host's cores. Work of this kind (busy
// integer units, nothing to wait for) cannot gain more than that from as many threads.
//
//   vorn_bench_cpu <threads>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

double loopSeconds() {
    const auto start = std::chrono::steady_clock::now();
    // Four independent chains of shifts, xors and adds keep the core's integer units busy,
    // as decoding and formatting do. (One chain of dependent multiplications would leave
    // them idle most of the time, and hide virtual CPUs that share a host core.)
    uint64_t a = 1, b = 2, c = 3, d = 4;
    for (uint64_t i = 0; i < 400'000'000; ++i) {
        a ^= a << 13;
        a ^= a >> 7;
        b ^= b << 17;
        b ^= b >> 9;
        c += (c >> 3) ^ i;
        d += (d << 5) ^ i;
    }
    volatile uint64_t sink = a ^ b ^ c ^ d;
    (void)sink;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <threads>\n", argv[0]);
        return 2;
    }
    const unsigned threads = static_cast<unsigned>(std::stoul(argv[1]));
    const double one = loopSeconds();
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    for (unsigned i = 0; i < threads; ++i)
        workers.emplace_back([] { loopSeconds(); });
    for (std::thread& t : workers)
        t.join();
    const double all =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("one %.3f s %u at once %.3f s speed-up %.2f\n", one, threads, all,
                threads * one / all);
    return 0;
}
