// Scans a table of one million records in natural order through the record cache
// and counts the disk reads it takes: one per block of 8192 div R records.
#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/files/DataFile.h"
#include "engine/files/EngineFile.h"

namespace {

using namespace kura;

constexpr uint32_t RECORD_COUNT = 1000000;

// Counts the reads that reach the file.
class CountingDataFile : public TDataFile {
public:
    CountingDataFile() : TDataFile(nullptr) {}
    int32_t ReadBuffer(void* buffer, int32_t count, bool allowPartial) override {
        ++Reads;
        return TDataFile::ReadBuffer(buffer, count, allowPartial);
    }
    uint64_t Reads = 0;
};

std::vector<TFieldDesc> Fields() {
    std::vector<TFieldDesc> fields(2);
    fields[0].SetFieldNo(1);
    fields[0].SetName("ID");
    fields[0].SetFieldType(fldINT32);
    fields[0].SetSubType(fldstAUTOINC);
    fields[0].DerivePhysical();
    fields[0].SetOffset(5);
    fields[1].SetFieldNo(2);
    fields[1].SetName("NAME");
    fields[1].SetFieldType(fldZSTRING);
    fields[1].SetDeclaredSize(10);
    fields[1].DerivePhysical();
    fields[1].SetOffset(9);
    return fields;
}

struct Table {
    std::string dir;
    std::string path;
    Table() {
        if (!FileList) FileList = new TFileList();
        char pattern[] = "/tmp/kura_bench_XXXXXX";
        dir = mkdtemp(pattern);
        path = dir + "/BENCH.DAT";
        TDataFile f(nullptr);
        f.FileName = path;
        f.CreateHeader(0, 0, Fields(), 0, "", "", false, 0, 0);
        for (uint32_t i = 1; i <= RECORD_COUNT; ++i) {
            TRecord* r = nullptr;
            f.AllocateRecord(nullptr, r);
            r->Clear(true);
            r->GetBuffer()[9] = 1;
            std::snprintf(reinterpret_cast<char*>(r->GetBuffer() + 10), 11, "N%u", i);
            r->Modified = 1;
            f.ReleaseRecord(r);
        }
        f.FlushRecords();
        f.WriteHeader(true);
        f.WriteFieldDescs();
        f.CloseFile();
    }
    ~Table() {
        std::remove(path.c_str());
        rmdir(dir.c_str());
    }
};

void BM_ScanMillionRecords(benchmark::State& state) {
    static Table table;
    uint64_t reads = 0;
    uint64_t expected = 0;
    for (auto _ : state) {
        CountingDataFile f;
        f.FileName = table.path;
        f.OpenFile();
        const uint64_t headerReads = f.Reads;
        const uint64_t perBlock = static_cast<uint64_t>(RECORD_BLOCK_SIZE / f.GetRecordSize());
        expected = (RECORD_COUNT + perBlock - 1) / perBlock;
        uint64_t sum = 0;
        for (uint32_t n = 1; n <= RECORD_COUNT; ++n) {
            TRecord* r = nullptr;
            f.ReadRecord(nullptr, n, r, 1, false, true);
            sum += r->GetAutoIncValue();
            f.ReleaseRecord(r);
        }
        benchmark::DoNotOptimize(sum);
        reads = f.Reads - headerReads;
        f.CloseFile();
        if (reads != expected) {
            state.SkipWithError("the scan did not read in whole blocks");
            break;
        }
    }
    state.counters["read_calls"] = static_cast<double>(reads);
    state.counters["expected_reads"] = static_cast<double>(expected);
    state.counters["records_per_second"] =
        benchmark::Counter(static_cast<double>(RECORD_COUNT) * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK(BM_ScanMillionRecords)->Unit(benchmark::kMillisecond);
