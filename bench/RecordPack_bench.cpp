// Record packing: Serialize of a typical upgrade request into a fresh pack,
// as every request submission does once, timed in alternating turns with
// its lower bound from the same run (BM_SerializePaired: the figure that the
// summary judges).
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "BenchEnv.h"
#include "Paired.h"
#include "RecordImage.h"
#include "SWUInterfaceData.h"

namespace {

// A download request as an application files it: every text field but the
// cabinet identifier filled, sizes and numbers of a real image.
SWUDataContainer TypicalRequest()
{
    return qztest::MakeRecord({{"MAINBOARD-FW", "mainboard_fw_2.14.3.swu", "2.14.3",
                                "https://updates.example.net/fw/mainboard_fw_2.14.3.swu",
                                "/etc/ssl/certs/update-ca.pem", ""},
                               48u * 1024u * 1024u,
                               1,
                               true,
                               1,
                               1});
}

using qztest::PackedRecordSize;

std::vector<unsigned char> Packed(const SWUDataContainer& record)
{
    QzPack pack;
    record.Serialize(pack);
    return {pack.GetData(), pack.GetData() + pack.GetSize()};
}

// Serialize alone, for comparison with earlier runs.
void BM_SerializeRequest(benchmark::State& state)
{
    const SWUDataContainer record = TypicalRequest();
    size_t packedSize = 0;
    for (auto _ : state) {
        QzPack pack;
        record.Serialize(pack);
        benchmark::DoNotOptimize(pack.GetData());
        packedSize = pack.GetSize();
    }
    if (packedSize != PackedRecordSize(record))
        state.SkipWithError("Serialize did not produce the whole record");
    state.counters["packed_bytes"] = static_cast<double>(packedSize);
}

// Serialize against its floor, in turns of one batch each (see Paired.h).
// The floor is what any packer must do at least: obtain one block of the
// packed size and copy the packed bytes into it. A batch is long enough
// that the clock reads around it do not count.
constexpr int kSerializeBatch = 256;

// The pack is kept observable as the floor's block is, without calls into
// the library that the floor does not make; its size is checked once, apart.
void SerializeBatch(const SWUDataContainer& record)
{
    for (int i = 0; i < kSerializeBatch; ++i) {
        QzPack pack;
        record.Serialize(pack);
        benchmark::DoNotOptimize(pack);
        benchmark::ClobberMemory();
    }
}

void CopyBatch(const std::vector<unsigned char>& packed)
{
    for (int i = 0; i < kSerializeBatch; ++i) {
        std::unique_ptr<unsigned char[]> block(new unsigned char[packed.size()]);
        std::memcpy(block.get(), packed.data(), packed.size());
        benchmark::DoNotOptimize(block.get());
        benchmark::ClobberMemory();
    }
}

void BM_SerializePaired(benchmark::State& state)
{
    const SWUDataContainer record = TypicalRequest();
    const std::vector<unsigned char> packed = Packed(record);
    qzbench::PairedTimes times;
    for (auto _ : state) {
        const bool serializeFirst = times.FigureFirst();
        for (bool serializeTurn : {serializeFirst, !serializeFirst}) {
            if (serializeTurn)
                times.Time(true, [&] { SerializeBatch(record); });
            else
                times.Time(false, [&] { CopyBatch(packed); });
        }
    }
    if (packed.size() != PackedRecordSize(record)) {
        state.SkipWithError("Serialize did not produce the whole record");
        return;
    }
    state.counters["serialize_ns"] = times.FigureMedian() / kSerializeBatch * 1e9;
    state.counters["floor_ns"] = times.LimitMedian() / kSerializeBatch * 1e9;
    state.counters["ratio"] = times.Ratio();
}

BENCHMARK(BM_SerializeRequest);
BENCHMARK(BM_SerializePaired)->UseRealTime();

}  // namespace

int main(int argc, char** argv)
{
    return qzbench::RunBenchmarks(argc, argv, [] { benchmark::RunSpecifiedBenchmarks(); });
}
