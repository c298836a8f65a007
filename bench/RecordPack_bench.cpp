// Record packing: Serialize of a typical upgrade request into a fresh pack,
// as every request submission does once.
#include <benchmark/benchmark.h>

#include "BenchEnv.h"
#include "SWUInterfaceData.h"

namespace {

// A download request as an application files it: every text field but the
// cabinet identifier filled, sizes and numbers of a real image.
SWUDataContainer TypicalRequest()
{
    SWUDataContainer record;
    record.m_strSoftwareID = "MAINBOARD-FW";
    record.m_strFileName = "mainboard_fw_2.14.3.swu";
    record.m_strSWVersion = "2.14.3";
    record.m_strURL = "https://updates.example.net/fw/mainboard_fw_2.14.3.swu";
    record.m_strCertificatePath = "/etc/ssl/certs/update-ca.pem";
    record.m_lTotalBytes = 48u * 1024u * 1024u;
    record.m_nProductType = 1;
    record.m_bIsURL = true;
    record.m_nUpgradeType = 1;
    record.m_nVerifyHost = 1;
    return record;
}

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
    // 47 bytes of lengths, terminators and numbers around the characters; a
    // pack of any other size was not a full record.
    const size_t expected = 47 + record.m_strSoftwareID.size() + record.m_strFileName.size() +
                            record.m_strSWVersion.size() + record.m_strURL.size() +
                            record.m_strCertificatePath.size() + record.m_strCabinetID.size();
    if (packedSize != expected)
        state.SkipWithError("Serialize did not produce the whole record");
    state.counters["packed_bytes"] = static_cast<double>(packedSize);
}

BENCHMARK(BM_SerializeRequest);

}  // namespace

int main(int argc, char** argv)
{
    qzbench::QuietPlatformLog();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
