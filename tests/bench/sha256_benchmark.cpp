// Our SHA-256 beside OpenSSL's on the sizes that matter: a signed request is
// well under 1 KiB; 64 KiB shows the block loop alone. Run it twice to compare
// against OpenSSL with and without its SHA instructions:
//   scripts/bench --sha256
//   OPENSSL_ia32cap=':~0x20000000' scripts/bench --sha256
#include <benchmark/benchmark.h>
#include <openssl/sha.h>

#include <string>

#include "network/sha256.h"

namespace {

std::string input(std::int64_t size) { return std::string(static_cast<std::size_t>(size), 'q'); }

void ours(benchmark::State& state) {
    const std::string data = input(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(Sha256::digest(data));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void openssl(benchmark::State& state) {
    const std::string data = input(state.range(0));
    unsigned char out[SHA256_DIGEST_LENGTH];
    for (auto _ : state) {
        SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), out);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

}  // namespace

BENCHMARK(ours)->Arg(64)->Arg(1024)->Arg(64 * 1024);
BENCHMARK(openssl)->Arg(64)->Arg(1024)->Arg(64 * 1024);
