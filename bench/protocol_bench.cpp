// The cost of one 4096-byte write-block: CRC, packing, unpacking and the
// whole composition, with zlib's crc32 over the same block for comparison.
#include "update/protocol.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <random>
#include <vector>

namespace {

std::vector<std::uint8_t> Block()
{
    std::vector<std::uint8_t> block(kMaxBlock);
    std::mt19937 random(1);
    for (auto& b : block) b = static_cast<std::uint8_t>(random());
    return block;
}

void BM_Crc32(benchmark::State& state)
{
    const auto block = Block();
    for (auto _ : state) benchmark::DoNotOptimize(Crc32(block.data(), kMaxBlock));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kMaxBlock);
}
BENCHMARK(BM_Crc32);

void BM_ZlibCrc32(benchmark::State& state)
{
    const auto block = Block();
    for (auto _ : state) benchmark::DoNotOptimize(crc32(0L, block.data(), kMaxBlock));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kMaxBlock);
}
BENCHMARK(BM_ZlibCrc32);

void BM_Crc32Bytewise(benchmark::State& state)
{
    const auto block = Block();
    for (auto _ : state) {
        std::uint32_t reg = 0xFFFFFFFFu;
        for (std::uint8_t b : block) reg = Crc32Byte(reg, b);
        benchmark::DoNotOptimize(reg);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kMaxBlock);
}
BENCHMARK(BM_Crc32Bytewise);

void BM_Pack7(benchmark::State& state)
{
    const auto block = Block();
    std::vector<std::uint8_t> packed(PackedLength(kMaxBlock));
    for (auto _ : state) {
        benchmark::DoNotOptimize(Pack7(packed.data(), block.data(), kMaxBlock));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kMaxBlock);
}
BENCHMARK(BM_Pack7);

void BM_Unpack7(benchmark::State& state)
{
    const auto block = Block();
    std::vector<std::uint8_t> packed(PackedLength(kMaxBlock));
    Pack7(packed.data(), block.data(), kMaxBlock);
    std::vector<std::uint8_t> unpacked(kMaxBlock);
    for (auto _ : state) {
        benchmark::DoNotOptimize(Unpack7(unpacked.data(), packed.data(), PackedLength(kMaxBlock)));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kMaxBlock);
}
BENCHMARK(BM_Unpack7);

void BM_ComposeWriteBlock(benchmark::State& state)
{
    const auto block = Block();
    std::vector<std::uint8_t> message(kMaxMessage);
    for (auto _ : state) {
        benchmark::DoNotOptimize(ComposeWriteBlock(message.data(), 0x6E, block.data(), 0x1CC000, kMaxBlock));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kMaxBlock);
}
BENCHMARK(BM_ComposeWriteBlock);

}  // namespace
