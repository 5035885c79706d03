// fdsnws-dataselect from the ring files: a request's selections are turned
// into runs of contiguous samples (a plan, from the index's rows), and a
// record stream encodes the runs into Steim-2 records (512-byte miniSEED 2,
// or miniSEED 3 of at most 4096 bytes) a piece at a time, so a response's
// memory does not grow with its window.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fdsn/fdsn_request.h"
#include "fdsn/ring_source.h"

// One file's share of a run: samples [first, first + count) of cpath.
struct RunPiece {
    std::string cpath;
    int64_t first = 0;
    int64_t count = 0;
};

// Contiguous samples of one channel: no gap between its pieces.
struct SampleRun {
    std::string channel;  // as the records carry it (3 characters at most)
    int rate = 0;
    int64_t start_sample = 0;  // tbegin * rate + first of the first piece
    int64_t count = 0;
    std::vector<RunPiece> pieces;
};

struct DataselectPlan {
    std::vector<SampleRun> runs;
    int64_t samples = 0;
};

// A request may ask for a window of at most 31 days per selection...
inline constexpr int64_t kMaxWindowSeconds = 31LL * 86400;
// ...and be served at most this many samples: a day of 24 channels at 100
// per second (207 million) fits, with room.
inline constexpr int64_t kMaxRequestSamples = 400000000;

// The codes the services show for this station.
struct StationCodes {
    std::string network;  // NETWORK
    std::string station;  // the station name, cut to the 5 characters of a record
};
StationCodes station_codes(const char* network, const char* station);
// A roster or index channel name as the records carry it.
std::string channel_code(const std::string& name);
// The FDSN source identifier of a channel, from the same codes.
std::string source_id(const StationCodes& codes, const std::string& channel);

enum class RecordFormat { kMiniseed2, kMiniseed3 };
inline constexpr size_t kMseed3RecordBytes = 4096;

enum class PlanResult { kOk, kTooLarge };

// Runs for every selection that matches the station's codes, from the
// index rows (ordered by channel and start), with the sample counts the
// files hold on disk. Samples are exact to the window: the first at or
// after the start, the last at or before the end. A run that would pass
// max_samples in total gives kTooLarge.
PlanResult plan_dataselect(const FdsnRequest& request, const std::vector<IndexRow>& rows,
                           const char* data_dir, const StationCodes& codes, int64_t max_samples,
                           DataselectPlan* plan);

class RecordStream {
  public:
    RecordStream(DataselectPlan plan, std::string data_dir, StationCodes codes,
                 RecordFormat format = RecordFormat::kMiniseed2);
    ~RecordStream();
    RecordStream(const RecordStream&) = delete;
    RecordStream& operator=(const RecordStream&) = delete;

    // The next records (up to kChunkSamples samples' worth), valid until the
    // next call; false when every run has been sent. A file that shrank or
    // went away since the plan ends its run where its samples end: a gap.
    bool next(const char** data, size_t* size);

    static constexpr int64_t kChunkSamples = 721 * 64;

  private:
    int64_t read_run(const SampleRun& run, int64_t from, int64_t n, int32_t* out);
    // Encode the n samples read; all of them when `last`, else the full
    // records only. Return the samples the records sent hold.
    // The first of them is the run's global sample number `sample`.
    int64_t encode_mseed2(const SampleRun& run, int64_t n, bool last, int64_t sample);
    int64_t encode_mseed3(const SampleRun& run, int64_t n, bool last, int64_t sample);

    DataselectPlan plan_;
    std::string data_dir_;
    StationCodes codes_;
    RecordFormat format_;
    size_t run_ = 0;
    int64_t position_ = 0;  // samples of the current run already sent
    unsigned sequence_ = 1;
    std::vector<int32_t> samples_;
    std::vector<uint8_t> records_;  // zero wherever the encoder has not written
    unsigned dirty_ = 0;            // records the last call wrote
    size_t sent_ = 0;               // bytes of records_ this call sends
    int fd_ = -1;
    std::string open_path_;
};
